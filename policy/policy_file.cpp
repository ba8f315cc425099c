// The policy file: both rule lists, the profile, the per-agent rate limit and the default
// token budget, one setting or rule per line. The writer produces one canonical form;
// the reader accepts more (comments, CR LF, headers and keys known by a single letter,
// junk around digits). Start-up and reload read the same way except in two details: at
// start-up any header of 8 bytes or more counts and every "m" key sets the rate limit,
// while reload needs 11 bytes for the list headers and "max_r" for the rate key.
#include "policy/policy_file.h"
#include "core/state.h"
#include "policy/command_judge.h"
#include "policy/rules.h"
#include "runtime/console.h"
#include "runtime/fields.h"
#include "runtime/file_replace.h"
#include "runtime/heap.h"
#include "runtime/io.h"
#include "runtime/syscall.h"
#include "runtime/text.h"

enum PolicySection { k_section_none, k_section_blacklist, k_section_whitelist, k_section_config };

static i64 append_rule_lines(char* out, i64 pos, const char* area, i64 area_size, i64 count)
{
    for_each_rule(area, area_size, count, [&](const char* rule, i64 len) {
        pos = append_bytes(out, pos, rule, len);
        pos = append_byte(out, pos, '\n');
    });
    return pos;
}

i64 build_policy_file_text(char* out)
{
    i64 pos = append_text(out, 0, "# Cindervox Policy — auto-saved by dashboard\n");
    pos = append_text(out, pos, "[config]\n");
    pos = append_text(out, pos, "profile=");
    pos = append_decimal(out, pos, state.profile);
    pos = append_text(out, pos, "\nmax_rate_per_agent=");
    pos = append_decimal(out, pos, state.max_rate_per_agent);
    pos = append_text(out, pos, "\ndefault_token_budget=");
    pos = append_decimal(out, pos, state.default_token_budget);
    pos = append_text(out, pos, state.matcher == k_matcher_words ? "\nmatcher=words" : "\nmatcher=bytes");
    pos = append_text(out, pos, "\n\n[blacklist]\n");
    pos = append_rule_lines(out, pos, state.blacklist, k_blacklist_area, state.blacklist_count);
    pos = append_text(out, pos, "\n[whitelist]\n");
    pos = append_rule_lines(out, pos, state.whitelist, k_whitelist_area, state.whitelist_count);
    return pos;
}

// The old file stays whole until the new one is complete.
i64 save_policy_file()
{
    char* text = (char*)heap_alloc(k_policy_text_size);
    if (!text)
        return -ENOMEM;
    i64 len = build_policy_file_text(text);
    return replace_file("/etc/cindervox", "policy.conf", "policy.conf.tmp", text, len, 0644);
}

static void clear_rule_lists()
{
    state.blacklist_count = 0;
    state.blacklist_used = 0;
    state.whitelist_count = 0;
    state.whitelist_used = 0;
    if (state.blacklist)
        fill_bytes(state.blacklist, 0, k_blacklist_area);
    if (state.whitelist)
        fill_bytes(state.whitelist, 0, k_whitelist_area);
}

static constexpr char k_policy_source[] = "[Cindervox] /etc/cindervox/policy.conf";

// Stores value in *field when it lies in low to high; otherwise says on the console that
// line number was ignored: "<name> must be a whole number from <low> to <high>; ignored".
static void take_setting(i64* field, i64 value, i64 low, i64 high, i64 number, const char* name)
{
    if (value >= low && value <= high) {
        *field = value;
        return;
    }
    ConsoleLine notice;
    begin_file_line_notice(&notice, k_policy_source, number);
    line_text(&notice, name);
    line_text(&notice, " must be a whole number from ");
    line_decimal(&notice, low);
    line_text(&notice, " to ");
    line_decimal(&notice, high);
    line_text(&notice, "; ignored");
    print_line(notice);
}

// matcher=bytes or matcher=words, blanks around the value allowed.
static void take_matcher(const char* value, i64 len, i64 number)
{
    while (len > 0 && (value[0] == ' ' || value[0] == '\t')) {
        value++;
        len--;
    }
    while (len > 0 && (value[len - 1] == ' ' || value[len - 1] == '\t'))
        len--;
    if (span_equals({ value, len }, "bytes") || span_equals({ value, len }, "words")) {
        state.matcher = value[0] == 'w' ? k_matcher_words : k_matcher_bytes;
        return;
    }
    ConsoleLine notice;
    begin_file_line_notice(&notice, k_policy_source, number);
    line_text(&notice, "matcher must be bytes or words; ignored");
    print_line(notice);
}

static void apply_config_line(const char* line, i64 len, i64 number, PolicyVariant variant)
{
    i64 equals = find_bytes(line, len, 0, "=", 1);
    if (equals < 0)
        return;
    // Checked before the single-letter keys: at start-up any other "m" key sets the rate.
    if (equals >= 7 && bytes_equal(line, "matcher", 7))
        return take_matcher(line + equals + 1, len - equals - 1, number);
    i64 value = setting_value(line + equals + 1, len - equals - 1);
    switch (line[0]) {
    case 'p':
        if (!apply_profile(value)) {
            ConsoleLine notice;
            begin_file_line_notice(&notice, k_policy_source, number);
            line_text(&notice, "profile must be 0, 1 or 2; ignored");
            print_line(notice);
        }
        return;
    case 'm':
        if (variant == k_policy_reload && (len < 5 || line[4] != 'r'))
            return;
        return take_setting(&state.max_rate_per_agent, value, k_rate_limit_low, k_rate_limit_high, number, "max_rate_per_agent");
    case 'd':
        return take_setting(&state.default_token_budget, value, 0, k_token_budget_high, number, "default_token_budget");
    }
}

static PolicySection header_section(const char* line, i64 len, PolicySection current, PolicyVariant variant)
{
    i64 lists_min = variant == k_policy_startup ? 8 : 11;
    if (len >= lists_min && line[1] == 'b')
        return k_section_blacklist;
    if (len >= lists_min && line[1] == 'w')
        return k_section_whitelist;
    if (len >= 8 && line[1] == 'c')
        return k_section_config;
    return current;
}

// One line without its line end; returns the section for the next line. A rule that no
// longer fits its area is dropped and later rules that still fit are kept.
static PolicySection apply_policy_line(const char* line, i64 len, i64 number, PolicySection section, PolicyVariant variant)
{
    if (line[0] == '#')
        return section;
    if (line[0] == '[')
        return header_section(line, len, section, variant);
    switch (section) {
    case k_section_blacklist: add_blacklist_rule(line, len); break;
    case k_section_whitelist: add_whitelist_rule(line, len); break;
    case k_section_config: apply_config_line(line, len, number, variant); break;
    case k_section_none: break;
    }
    return section;
}

void load_policy_text(const char* text, i64 len, PolicyVariant variant)
{
    clear_rule_lists();
    PolicySection section = k_section_none;
    for_each_numbered_line(text, len, [&](const char* line, i64 line_len, i64 number) {
        section = apply_policy_line(line, line_len, number, section, variant);
        return false;
    });
}

void load_policy_at_startup()
{
    char* text = (char*)heap_alloc(k_policy_read_max + 1);
    if (!text)
        return;
    i64 len = read_small_file(k_policy_path, text, k_policy_read_max);
    if (len < 0)
        return print("[Cindervox] No policy.conf found, using defaults\n");
    if (len == 0)
        return;
    load_policy_text(text, len, k_policy_startup);
    print("[Cindervox] Policy loaded from /etc/cindervox/policy.conf\n");
}

ReloadResult reload_policy_file()
{
    char* text = (char*)heap_alloc(k_policy_read_max + 1);
    if (!text)
        return k_reload_unreadable;
    i64 len = read_small_file(k_policy_path, text, k_policy_read_max);
    if (len < 0)
        return k_reload_missing;
    if (len == 0)
        return k_reload_unreadable;
    load_policy_text(text, len, k_policy_reload);
    print("[Cindervox] Policy reloaded from /etc/cindervox/policy.conf\n");
    return k_reload_done;
}
