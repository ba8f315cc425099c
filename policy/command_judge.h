// The one judge of a command: whether it may run for an agent of a given profile, and if
// not, which screen or rule refused it and, with the shell-aware matcher, in which simple
// command. The exec pipeline and the policy check ask it the same way.
#pragma once
#include "policy/shell_words.h"
#include "runtime/types.h"

enum JudgeKind { k_judge_allowed, k_judge_sensitive, k_judge_blacklist, k_judge_whitelist, k_judge_unreadable };

// rule: the sequence or rule that matched (for the whitelist, the command word or program
// no rule admits; for an unreadable command, what could not be read). command: the simple
// command it matched, its words joined by single blanks, with the shell-aware matcher;
// {nullptr, 0} with the byte matcher. Both stay valid while the scratch lives.
struct Judgement {
    JudgeKind kind;
    ByteSpan rule;
    ByteSpan command;
};

// profile: 0 (strict) to 2, the agent's; host_proc: the run sees the host's /proc (no
// namespaces).
struct JudgeContext {
    i64 profile;
    bool host_proc;
};

enum CommandMatcher : i64 { k_matcher_bytes = 0, k_matcher_words = 1 };

// The message of a refusal for a command the shell-aware matcher could not read.
constexpr char k_unreadable_message[] = "could not read the command";

// The refused simple command is given up to this many bytes; a longer one ends in " ...".
constexpr i64 k_judged_command_max = 200;
constexpr char k_judged_command_cut[] = " ...";

// Bytes the caller gives judge_command for a command of cmd_len bytes: the shell parse
// and the refused command's text. The byte matcher needs none of it, but the matcher can
// change at a reload while a request waits, so callers size for the shell-aware one.
constexpr i64 judge_scratch_size(i64 cmd_len) { return shell_align(k_judged_command_max) + shell_scratch_size(cmd_len); }

// Judges cmd (len bytes) with the matcher in force (state.matcher). scratch holds
// judge_scratch_size(len) bytes, 8-aligned.
Judgement judge_command(const char* cmd, i64 len, const JudgeContext& context, char* scratch);

// The byte screen: the first sensitive sequence ("/etc/p", ".ssh/", "$(", "eval" ...) that
// starts at or before len - 4, or nullptr.
const char* sensitive_sequence(const char* cmd, i64 len);
