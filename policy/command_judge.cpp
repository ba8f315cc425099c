// The judge. With the byte matcher (the default) a command is refused when a sensitive
// sequence or a blacklist rule occurs anywhere in its bytes, or, in the strict profile,
// when it does not begin with a whitelisted word. With the shell-aware matcher it is
// parsed into simple commands and judged per program (policy/word_matcher.cpp); a command
// that cannot be parsed is refused in the strict profile and judged by bytes elsewhere.
#include "policy/command_judge.h"
#include "core/state.h"
#include "policy/rules.h"
#include "policy/word_matcher.h"
#include "runtime/text.h"

// Byte sequences that flag a command when they start at or before length - 4.
static constexpr const char* k_sensitive_sequences[] = {
    "/etc/p",
    "/etc/s",
    "/etc/h",
    ".ssh/",
    "/proc/",
    "$(",
    "`",
    "..",
    "eval",
};

const char* sensitive_sequence(const char* cmd, i64 len)
{
    for (i64 p = 0; p <= len - 4; p++)
        for (const char* sequence : k_sensitive_sequences) {
            i64 seq_len = text_length(sequence);
            if (p + seq_len <= len && bytes_equal(cmd + p, sequence, seq_len))
                return sequence;
        }
    return nullptr;
}

static Judgement judge_bytes(const char* cmd, i64 len, i64 profile)
{
    if (const char* sequence = sensitive_sequence(cmd, len))
        return { k_judge_sensitive, { sequence, text_length(sequence) }, { nullptr, 0 } };
    ByteSpan matched { "", 0 };
    switch (check_command_policy(cmd, len, profile, &matched)) {
    case k_policy_blacklisted: return { k_judge_blacklist, matched, { nullptr, 0 } };
    case k_policy_not_whitelisted: return { k_judge_whitelist, matched, { nullptr, 0 } };
    case k_policy_allowed: break;
    }
    return { k_judge_allowed, { "", 0 }, { nullptr, 0 } };
}

// The simple command's words joined by single blanks into out (k_judged_command_max
// bytes); a longer text keeps its first bytes and ends in " ...".
static ByteSpan join_command(const ShellParse& parse, i64 command, char* out)
{
    CommandWords c = command_words(parse, command);
    constexpr i64 cut_len = sizeof(k_judged_command_cut) - 1;
    i64 total = c.count - 1;
    for (i64 i = 0; i < c.count; i++)
        total += c.word(i).len;
    i64 limit = total <= k_judged_command_max ? total : k_judged_command_max - cut_len;
    i64 pos = 0;
    for (i64 i = 0; i < c.count && pos < limit; i++) {
        if (i > 0)
            pos = append_byte(out, pos, ' ');
        ByteSpan w = c.word(i);
        pos = append_bytes(out, pos, w.ptr, w.len < limit - pos ? w.len : limit - pos);
    }
    if (total > k_judged_command_max)
        pos = append_text(out, pos, k_judged_command_cut);
    return { out, pos };
}

static JudgeKind judge_kind(WordVerdictKind kind)
{
    switch (kind) {
    case k_words_sensitive: return k_judge_sensitive;
    case k_words_blacklist: return k_judge_blacklist;
    case k_words_whitelist: return k_judge_whitelist;
    case k_words_allowed:
    case k_words_unreadable: break;
    }
    return k_judge_allowed;
}

Judgement judge_command(const char* cmd, i64 len, const JudgeContext& context, char* scratch)
{
    if (state.matcher != k_matcher_words)
        return judge_bytes(cmd, len, context.profile);
    char* command_text = scratch;
    ShellParse parse = parse_shell_words(cmd, len, scratch + shell_align(k_judged_command_max));
    if (!parse.readable && context.profile == 0)
        return { k_judge_unreadable, { parse.problem, text_length(parse.problem) }, { nullptr, 0 } };
    if (!parse.readable)
        return judge_bytes(cmd, len, context.profile);
    WordVerdict verdict = judge_words(parse, context.profile, context.host_proc);
    if (verdict.kind == k_words_unreadable && context.profile == 0)
        return { k_judge_unreadable, verdict.rule, { nullptr, 0 } };
    if (verdict.kind == k_words_unreadable)
        return judge_bytes(cmd, len, context.profile);
    if (verdict.kind == k_words_allowed)
        return { k_judge_allowed, { "", 0 }, { nullptr, 0 } };
    return { judge_kind(verdict.kind), verdict.rule, join_command(parse, verdict.command, command_text) };
}
