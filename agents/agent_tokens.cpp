// The table lives outside the per-request heap: it outlasts every request and is replaced
// whole by a reload. Tokens never leave this file except as the result of a comparison.
#include "agents/agent_tokens.h"
#include "agents/registry.h"
#include "core/state.h"
#include "runtime/console.h"
#include "runtime/heap.h"
#include "runtime/io.h"
#include "runtime/syscall.h"
#include "runtime/text.h"

static constexpr char k_agents_path[] = "/etc/cindervox/agents";

struct AgentToken {
    char name[k_agent_name_max + 1];
    i64 name_len;
    char token[k_agent_token_max];
    i64 token_len;
    OwnProfile profile;
};

static constinit AgentToken tokens[k_max_agent_tokens] {};
static constinit i64 token_count = 0;

static bool is_blank(char c) { return c == ' ' || c == '\t'; }

static ByteSpan trimmed(const char* text, i64 len)
{
    while (len > 0 && is_blank(text[0])) {
        text++;
        len--;
    }
    while (len > 0 && is_blank(text[len - 1]))
        len--;
    return { text, len };
}

static bool has_control_byte(ByteSpan s)
{
    for (i64 i = 0; i < s.len; i++)
        if ((u8)s.ptr[i] < 0x20 || s.ptr[i] == 0x7F)
            return true;
    return false;
}

static bool has_blank(ByteSpan s)
{
    for (i64 i = 0; i < s.len; i++)
        if (is_blank(s.ptr[i]))
            return true;
    return false;
}

static bool taken(ByteSpan name, ByteSpan token, ByteSpan admin_token)
{
    if (equal_in_constant_time(token, admin_token))
        return true;
    for (i64 i = 0; i < token_count; i++)
        if ((tokens[i].name_len == name.len && bytes_equal(tokens[i].name, name.ptr, name.len)) ||
            equal_in_constant_time(token, { tokens[i].token, tokens[i].token_len }))
            return true;
    return false;
}

enum LineVerdict { k_line_bound, k_line_comment, k_line_malformed, k_line_duplicate, k_line_over_limit, k_line_bad_profile };

static bool is_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

static bool all_letters(ByteSpan s)
{
    for (i64 i = 0; i < s.len; i++)
        if (!is_letter(s.ptr[i]))
            return false;
    return s.len > 0;
}

// The word of the last skipped line's profile field, for its console line; letters only.
static constexpr i64 k_profile_word_max = 32;
static constinit char bad_profile[k_profile_word_max + 1] {};

// Splits the part after the name's colon into the token and the profile field: the field
// after the last ':' when it is a word of letters (see agent_tokens.h).
struct TokenPart {
    ByteSpan token;
    ByteSpan profile;
};
static TokenPart split_token_part(ByteSpan rest)
{
    i64 last = -1;
    for (i64 i = 0; i < rest.len; i++)
        if (rest.ptr[i] == ':')
            last = i;
    if (last < 0)
        return { trimmed(rest.ptr, rest.len), { "", 0 } };
    ByteSpan word = trimmed(rest.ptr + last + 1, rest.len - last - 1);
    if (!all_letters(word))
        return { trimmed(rest.ptr, rest.len), { "", 0 } };
    return { trimmed(rest.ptr, last), word };
}

static LineVerdict bind_line(const char* line, i64 len, ByteSpan admin_token)
{
    ByteSpan whole = trimmed(line, len);
    if (whole.len == 0 || whole.ptr[0] == '#')
        return k_line_comment;
    i64 colon = find_bytes(whole.ptr, whole.len, 0, ":", 1);
    if (colon < 0)
        return k_line_malformed;
    ByteSpan name = trimmed(whole.ptr, colon);
    TokenPart part = split_token_part({ whole.ptr + colon + 1, whole.len - colon - 1 });
    ByteSpan token = part.token;
    i64 profile = part.profile.len > 0 ? profile_by_name(part.profile) : -1;
    if (part.profile.len > 0 && profile < 0) {
        i64 keep = part.profile.len < k_profile_word_max ? part.profile.len : k_profile_word_max;
        copy_bytes(bad_profile, part.profile.ptr, keep);
        bad_profile[keep] = 0;
        return k_line_bad_profile;
    }
    if (name.len < 1 || name.len > k_agent_name_max || has_control_byte(name))
        return k_line_malformed;
    if (token.len < 1 || token.len > k_agent_token_max || has_control_byte(token) || has_blank(token))
        return k_line_malformed;
    if (token_count >= k_max_agent_tokens)
        return k_line_over_limit;
    if (taken(name, token, admin_token))
        return k_line_duplicate;
    AgentToken& entry = tokens[token_count++];
    entry = {};
    copy_bytes(entry.name, name.ptr, name.len);
    entry.name_len = name.len;
    copy_bytes(entry.token, token.ptr, token.len);
    entry.token_len = token.len;
    entry.profile = own_profile_code(profile);
    return k_line_bound;
}

i64 apply_agent_tokens_text(const char* text, i64 len, ByteSpan admin_token)
{
    fill_bytes(tokens, 0, sizeof(tokens));
    token_count = 0;
    for_each_line(text, len, [&](const char* line, i64 line_len) {
        switch (bind_line(line, line_len, admin_token)) {
        case k_line_malformed: print("[Cindervox] Agents file: skipped a line that is not name:token\n"); break;
        case k_line_duplicate: print("[Cindervox] Agents file: skipped a line whose name or token is already taken\n"); break;
        case k_line_over_limit: print("[Cindervox] Agents file: skipped a line past the first 32 agents\n"); break;
        case k_line_bad_profile:
            print("[Cindervox] Agents file: skipped a line whose profile \"");
            print(bad_profile);
            print("\" is not strict, moderate or permissive\n");
            break;
        case k_line_bound:
        case k_line_comment: break;
        }
        return false;
    });
    return token_count;
}

// The file may hold tokens: anyone who can read it can act as those agents.
static void warn_if_world_readable(int fd)
{
    stat_k st {};
    if (sys_fstat(fd, &st) == 0 && (st.mode & 0004) != 0)
        print("[Cindervox] WARNING: /etc/cindervox/agents is readable by every user; make it 0600\n");
}

void load_agent_tokens()
{
    char* text = (char*)heap_alloc(k_agents_file_read_max + 1);
    // Without room to read the file the tokens bound so far stay bound.
    if (!text)
        return;
    i64 len = 0;
    i64 fd = sys_open(k_agents_path, O_RDONLY | O_CLOEXEC | O_NONBLOCK, 0);
    if (fd >= 0) {
        warn_if_world_readable((int)fd);
        len = read_retry((int)fd, text, k_agents_file_read_max);
        sys_close((int)fd);
    }
    i64 bound = apply_agent_tokens_text(text, len > 0 ? len : 0, { state.bearer_token, state.bearer_token_len });
    apply_token_profiles();
    if (fd < 0)
        return;
    print("[Cindervox] Agent tokens loaded from /etc/cindervox/agents:\n");
    print_decimal_line(bound);
}

i64 match_agent_token(ByteSpan presented)
{
    i64 match = -1;
    for (i64 i = 0; i < token_count; i++)
        if (equal_in_constant_time(presented, { tokens[i].token, tokens[i].token_len }))
            match = i;
    return match;
}

i64 agent_token_count() { return token_count; }

ByteSpan agent_token_name(i64 index) { return { tokens[index].name, tokens[index].name_len }; }

OwnProfile agent_token_profile(i64 index) { return tokens[index].profile; }

OwnProfile token_profile_for_name(ByteSpan name)
{
    for (i64 i = 0; i < token_count; i++)
        if (tokens[i].name_len == name.len && bytes_equal(tokens[i].name, name.ptr, name.len))
            return tokens[i].profile;
    return k_no_own_profile;
}

void apply_token_profiles()
{
    for (i64 i = 0; i < token_count; i++) {
        i64 index = find_agent(tokens[i].name, tokens[i].name_len);
        if (index >= 0)
            agent_record(index)->own_profile = tokens[i].profile;
    }
}
