// The command policy. Each rule list is one fixed byte area: every rule is a length byte
// followed by its bytes, in insertion order, and a 0 byte after the last rule marks the
// end for every reader. Rules are stored as given: no trimming, no folding, no de-dup.
#include "policy/rules.h"
#include "core/state.h"
#include "runtime/heap.h"
#include "runtime/text.h"

static constexpr const char* k_default_blacklist[] = {
    "rm -rf /",
    "dd if",
    "mkfs",
    ":(){ :",
    "wget",
    "curl",
    "netcat",
    "python -c 'im",
    "chmod 777",
    "chown root",
    "shutdown",
    "reboot",
    "nmap",
    "/etc/shadow",
    "/etc/passwd",
    ".ssh/id_",
    "/dev/sda",
};

static constexpr const char* k_default_whitelist[] = {
    "ls",
    "cat",
    "echo",
    "pwd",
    "head",
    "tail",
    "wc",
    "grep",
    "find",
    "date",
    "whoami",
    "uname",
    "python3",
    "node",
};

struct ProfileRow {
    const char* name;
    i64 timeout_ms;
    i64 max_mem_mb;
    i64 max_cpu_sec;
    i64 max_procs;
    i64 max_fsize;
    i64 max_nofile;
};

static constexpr ProfileRow k_profiles[] = {
    { "strict", 5000, 64, 5, 16, 10485760, 32 },
    { "moderate", 30000, 256, 30, 16, 52428800, 64 },
    { "permissive", 300000, 1024, 300, 50, 104857600, 256 },
};
static_assert(sizeof(k_profiles) / sizeof(k_profiles[0]) == k_profile_count);

// Appends at used: length byte, rule bytes, then the 0 end mark. The end mark needs its
// own byte, so a rule takes len + 2 bytes beyond the bytes in use to fit.
static i64 append_rule(char* area, i64 area_size, i64* count, i64* used, const char* text, i64 len)
{
    if (len < 1 || len > k_max_rule_len)
        return 0;
    if (*used + len + 2 > area_size)
        return 0;
    i64 pos = append_byte(area, *used, (char)len);
    pos = append_bytes(area, pos, text, len);
    append_byte(area, pos, 0);
    *used += len + 1;
    *count += 1;
    return 1;
}

i64 add_blacklist_rule(const char* text, i64 len)
{
    return append_rule(state.blacklist, k_blacklist_area, &state.blacklist_count, &state.blacklist_used, text, len);
}

i64 add_whitelist_rule(const char* text, i64 len)
{
    return append_rule(state.whitelist, k_whitelist_area, &state.whitelist_count, &state.whitelist_used, text, len);
}

void install_default_blacklist()
{
    state.blacklist = (char*)heap_alloc(k_blacklist_area);
    for (const char* rule : k_default_blacklist)
        add_blacklist_rule(rule, text_length(rule));
}

void install_default_whitelist()
{
    state.whitelist = (char*)heap_alloc(k_whitelist_area);
    for (const char* rule : k_default_whitelist)
        add_whitelist_rule(rule, text_length(rule));
}

bool apply_profile(i64 p)
{
    if (!profile_in_range(p))
        return false;
    state.profile = p;
    const ProfileRow& row = k_profiles[p];
    state.timeout_ms = row.timeout_ms;
    state.max_mem_mb = row.max_mem_mb;
    state.max_cpu_sec = row.max_cpu_sec;
    state.max_procs = row.max_procs;
    state.max_fsize = row.max_fsize;
    state.max_nofile = row.max_nofile;
    return true;
}

const char* profile_name(i64 p)
{
    if (!profile_in_range(p))
        return nullptr;
    return k_profiles[p].name;
}

static bool is_word_end(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == ';' || c == '|' || c == '&' || c == '<' || c == '>' || c == '(';
}

static bool occurs_in(const char* cmd, i64 len, const char* rule, i64 rule_len)
{
    for (i64 p = 0; p + rule_len <= len; p++)
        if (bytes_equal(cmd + p, rule, rule_len))
            return true;
    return false;
}

// Only the command name at the very start counts; a blank, ";" or "|" may end it.
static bool admits(const char* cmd, i64 len, const char* rule, i64 rule_len)
{
    if (len < rule_len || !bytes_equal(cmd, rule, rule_len))
        return false;
    if (len == rule_len)
        return true;
    char next = cmd[rule_len];
    return next == ' ' || next == ';' || next == '|';
}

bool whitelist_admits(const char* cmd, i64 len)
{
    auto admitted = [&](const char* rule, i64 rule_len) { return admits(cmd, len, rule, rule_len); };
    return find_rule(state.whitelist, k_whitelist_area, state.whitelist_count, admitted) >= 0;
}

// The command word a whitelist rule would have to admit: up to the first blank or shell
// operator.
static ByteSpan command_word(const char* cmd, i64 len)
{
    i64 end = 0;
    while (end < len && !is_word_end(cmd[end]))
        end++;
    return { cmd, end };
}

PolicyVerdict check_command_policy(const char* cmd, i64 len, ByteSpan* matched)
{
    return check_command_policy(cmd, len, state.profile, matched);
}

PolicyVerdict check_command_policy(const char* cmd, i64 len, i64 profile, ByteSpan* matched)
{
    i64 offset = find_rule(state.blacklist, k_blacklist_area, state.blacklist_count,
        [&](const char* rule, i64 rule_len) { return occurs_in(cmd, len, rule, rule_len); });
    if (offset >= 0) {
        if (matched)
            *matched = { state.blacklist + offset + 1, (u8)state.blacklist[offset] };
        return k_policy_blacklisted;
    }
    if (profile != 0)
        return k_policy_allowed;
    if (whitelist_admits(cmd, len))
        return k_policy_allowed;
    if (matched)
        *matched = command_word(cmd, len);
    return k_policy_not_whitelisted;
}
