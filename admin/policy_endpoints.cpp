// GET /api/policy lists both rule lists and the policy settings; POST /api/policy adds or
// removes one rule; POST /api/profile switches the security profile. Every change is
// saved to the policy file at once, and its answer says whether that worked. A change is all or nothing: an add that does not fit
// (in either selected list) leaves both lists as they were.
#include "admin/policy_endpoints.h"
#include "admin/setting_save.h"
#include "agents/agent_tokens.h"
#include "core/audit_log.h"
#include "core/change_log.h"
#include "core/http_response.h"
#include "core/json_answer.h"
#include "core/state.h"
#include "policy/command_judge.h"
#include "policy/policy_file.h"
#include "policy/rules.h"
#include "runtime/fields.h"
#include "runtime/heap.h"
#include "runtime/json_reader.h"
#include "runtime/text.h"

static constexpr char k_err_invalid_action[] = "invalid action (use add_bl/rm_bl/add_wl/rm_wl)";
static constexpr char k_err_list_full[] = "rule list full";
static constexpr char k_err_unstorable_rule[] = "rule cannot be stored in policy.conf";
static constexpr char k_err_missing_profile[] = "missing profile (0/1/2)";
static constexpr char k_err_invalid_profile[] = "profile must be 0, 1 or 2";
static constexpr char k_err_invalid_matcher[] = "matcher must be bytes or words";
static_assert(sizeof(k_policy_path) - 1 <= k_save_path_max);


// Worst case is six bytes per rule byte (\u00XX), and quotes and comma per length byte.
static_assert(k_policy_report_size >= 6 * (k_blacklist_area + k_whitelist_area) + 256 + 5 * k_decimal_max);

static i64 append_rule_array(char* out, i64 pos, const char* area, i64 area_size, i64 count)
{
    pos = append_byte(out, pos, '[');
    i64 written = 0;
    for_each_rule(area, area_size, count, [&](const char* rule, i64 len) {
        if (written++ > 0)
            pos = append_byte(out, pos, ',');
        pos = append_json_string(out, pos, rule, len);
    });
    return append_byte(out, pos, ']');
}

i64 build_policy_report(char* out)
{
    i64 pos = append_text(out, 0, R"({"blacklist":)");
    pos = append_rule_array(out, pos, state.blacklist, k_blacklist_area, state.blacklist_count);
    pos = append_text(out, pos, R"(,"whitelist":)");
    pos = append_rule_array(out, pos, state.whitelist, k_whitelist_area, state.whitelist_count);
    pos = append_text(out, pos, R"(,"blacklist_count":)");
    pos = append_decimal(out, pos, state.blacklist_count);
    pos = append_text(out, pos, R"(,"whitelist_count":)");
    pos = append_decimal(out, pos, state.whitelist_count);
    pos = append_text(out, pos, R"(,"profile":)");
    pos = append_decimal(out, pos, state.profile);
    pos = append_text(out, pos, R"(,"max_rate_per_agent":)");
    pos = append_decimal(out, pos, state.max_rate_per_agent);
    pos = append_text(out, pos, R"(,"default_token_budget":)");
    pos = append_decimal(out, pos, state.default_token_budget);
    pos = append_text(out, pos, state.matcher == k_matcher_words ? R"(,"matcher":"words")" : R"(,"matcher":"bytes")");
    return append_byte(out, pos, '}');
}

RuleAction classify_rule_action(const char* action)
{
    RuleAction result {};
    result.kind = action[0] == 'a' ? k_rule_add : action[0] == 'r' ? k_rule_remove : k_rule_none;
    result.blacklist = action[3] == 'b' || action[4] == 'b';
    result.whitelist = action[3] == 'w' || action[4] == 'w';
    return result;
}

bool rule_storable(const char* rule, i64 len)
{
    if (len < 1 || rule[0] == '#' || rule[0] == '[')
        return false;
    for (i64 i = 0; i < len; i++)
        if (rule[i] == '\n' || rule[i] == '\r')
            return false;
    return true;
}

// Gives an area back the state it had before a failed add: the used bytes, the count,
// and zeros behind the last rule.
static void restore_list(char* area, i64 area_size, i64* count, i64* used, i64 old_count, i64 old_used)
{
    fill_bytes(area + old_used, 0, area_size - old_used);
    *count = old_count;
    *used = old_used;
}

// True when the rule went into every selected list, false when one of them had no room.
static bool add_rule_to_lists(RuleAction action, const char* rule, i64 len)
{
    i64 old_count = state.blacklist_count;
    i64 old_used = state.blacklist_used;
    if (action.blacklist && !add_blacklist_rule(rule, len))
        return false;
    if (action.whitelist && !add_whitelist_rule(rule, len)) {
        if (action.blacklist)
            restore_list(state.blacklist, k_blacklist_area, &state.blacklist_count, &state.blacklist_used, old_count, old_used);
        return false;
    }
    return true;
}

i64 remove_rule(char* area, i64 area_size, i64* count, i64* used, const char* rule, i64 len)
{
    // Rules live only in the bytes in use; the bound also keeps the move length positive.
    i64 limit = *used < area_size ? *used : area_size;
    i64 offset = find_rule(
        area, limit, *count, [&](const char* stored, i64 stored_len) { return stored_len == len && bytes_equal(stored, rule, len); });
    if (offset < 0)
        return 0;
    i64 next = offset + 1 + len;
    move_bytes(area + offset, area + next, *used - next);
    *used -= len + 1;
    *count -= 1;
    // The byte behind the last rule must read as the end of the list.
    fill_bytes(area + *used, 0, len + 1);
    return 1;
}

static i64 remove_rule_from_lists(RuleAction action, const char* rule, i64 len)
{
    i64 changed = 0;
    if (action.blacklist)
        changed += remove_rule(state.blacklist, k_blacklist_area, &state.blacklist_count, &state.blacklist_used, rule, len);
    if (action.whitelist)
        changed += remove_rule(state.whitelist, k_whitelist_area, &state.whitelist_count, &state.whitelist_used, rule, len);
    return changed;
}

static void send_counts(int conn, const SettingSave& save)
{
    JsonAnswer answer(k_policy_answer_size);
    answer.number("blacklist_count", state.blacklist_count).number("whitelist_count", state.whitelist_count);
    answer_save(answer, save).send(conn);
}

static void note_rule_change(RuleAction action, ByteSpan rule)
{
    ChangeNote note;
    begin_change(&note);
    note_text(&note, action.kind == k_rule_add ? "added the " : "removed the ");
    note_text(&note, action.blacklist && action.whitelist ? "blacklist and whitelist rule "
                     : action.blacklist                   ? "blacklist rule "
                                                          : "whitelist rule ");
    note_quoted(&note, rule);
    print_change(&note);
}

static const char* matcher_name(i64 matcher) { return matcher == k_matcher_words ? "words" : "bytes"; }

// {"matcher":"bytes"|"words"}: how commands are matched from now on, saved with the policy.
static void change_matcher(int conn, const char* value, i64 len)
{
    bool words = span_equals({ value, len }, "words");
    if (!words && !span_equals({ value, len }, "bytes"))
        return send_json_error(conn, 400, "Bad Request", k_err_invalid_matcher);
    state.matcher = words ? k_matcher_words : k_matcher_bytes;
    ChangeNote note;
    begin_change(&note);
    note_text(&note, "set the matcher to ");
    note_text(&note, matcher_name(state.matcher));
    print_change(&note);
    SettingSave save = save_outcome("the matcher", k_policy_path, save_policy_file());
    JsonAnswer answer(k_policy_answer_size);
    answer.text("matcher", { matcher_name(state.matcher), 5 });
    answer_save(answer, save).send(conn);
}

void handle_policy_change(int conn, const char* req, i64 req_len)
{
    char* action_text = (char*)heap_alloc(k_action_capacity + 1);
    char* rule = (char*)heap_alloc(k_max_rule_len + 1);
    if (!action_text || !rule)
        return send_memory_exhausted(conn);
    i64 action_len = read_string_field(req, req_len, "action", 6, action_text, k_action_capacity);
    i64 rule_len = read_string_field(req, req_len, "rule", 4, rule, k_max_rule_len);
    if (action_len == 0) {
        char matcher[k_matcher_capacity + 1];
        i64 matcher_len = read_string_field(req, req_len, "matcher", 7, matcher, k_matcher_capacity);
        if (matcher_len > 0)
            return change_matcher(conn, matcher, matcher_len);
        return send_json_error(conn, 400, "Bad Request", "missing action field");
    }
    if (rule_len == 0)
        return send_json_error(conn, 400, "Bad Request", "missing rule field");
    RuleAction action = classify_rule_action(action_text);
    if (action.kind == k_rule_none || (!action.blacklist && !action.whitelist))
        return send_json_error(conn, 400, "Bad Request", k_err_invalid_action);
    if (action.kind == k_rule_add) {
        // A rule the file cannot hold would come back different after a restart.
        if (!rule_storable(rule, rule_len))
            return send_json_error(conn, 400, "Bad Request", k_err_unstorable_rule);
        if (!add_rule_to_lists(action, rule, rule_len))
            return send_json_error(conn, 400, "Bad Request", k_err_list_full);
    } else if (!remove_rule_from_lists(action, rule, rule_len)) {
        return send_json_error(conn, 400, "Bad Request", k_err_invalid_action);
    }
    note_rule_change(action, { rule, rule_len });
    send_counts(conn, save_outcome("the rule change", k_policy_path, save_policy_file()));
}

ProfileField read_profile_field(const char* req, i64 req_len)
{
    i64 body = find_body(req, req_len);
    if (body < 0)
        return { k_profile_missing, 0 };
    const char* json = req + body;
    i64 len = req_len - body;
    i64 value = json_find_member(json, len, 0, "profile", 7);
    if (value < 0)
        return { k_profile_missing, 0 };
    JsonInteger number = json_read_integer(json, len, value);
    if (!number.ok || !profile_in_range(number.value))
        return { k_profile_invalid, 0 };
    return { k_profile_given, number.value };
}

// The profile's name for a change line; every stored profile has one, but a line is never
// written from a null name.
static const char* named_profile(i64 p)
{
    const char* name = profile_name(p);
    return name ? name : "custom";
}

void handle_profile(int conn, const char* req, i64 req_len)
{
    ProfileField field = read_profile_field(req, req_len);
    if (field.status == k_profile_missing)
        return send_json_error(conn, 400, "Bad Request", k_err_missing_profile);
    if (field.status == k_profile_invalid)
        return send_json_error(conn, 400, "Bad Request", k_err_invalid_profile);
    apply_profile(field.profile);
    ChangeNote note;
    begin_change(&note);
    note_text(&note, "set the profile to ");
    note_text(&note, named_profile(state.profile));
    print_change(&note);
    SettingSave save = save_outcome("the profile", k_policy_path, save_policy_file());
    static constexpr char detail[] = "set_profile";
    audit_write(k_system_agent, "CONFIG", { detail, sizeof(detail) - 1 }, field.profile, 0, "OK");
    JsonAnswer answer(k_policy_answer_size);
    answer.number("profile", state.profile)
        .number("timeout_ms", state.timeout_ms)
        .number("max_mem_mb", state.max_mem_mb)
        .number("max_cpu_sec", state.max_cpu_sec);
    answer_save(answer, save).send(conn);
}

void handle_policy_reload(int conn)
{
    // The agent tokens are reloaded with the policy, whatever becomes of the policy file.
    load_agent_tokens();
    switch (reload_policy_file()) {
    case k_reload_missing: return send_json_error(conn, 404, "Not Found", "policy.conf not found");
    case k_reload_unreadable: return send_json_error(conn, 500, "Internal Server Error", "could not read policy.conf");
    case k_reload_done: break;
    }
    ChangeNote note;
    begin_change(&note);
    note_text(&note, "reloaded the policy file: profile ");
    note_text(&note, named_profile(state.profile));
    note_text(&note, ", ");
    note_decimal(&note, state.blacklist_count);
    note_text(&note, " blacklist and ");
    note_decimal(&note, state.whitelist_count);
    note_text(&note, " whitelist rules, rate limit ");
    note_decimal(&note, state.max_rate_per_agent);
    print_change(&note);
    static constexpr char detail[] = "policy_reload";
    audit_write(k_system_agent, "CONFIG", { detail, sizeof(detail) - 1 }, 0, 0, "OK");
    JsonAnswer(k_policy_answer_size)
        .number("blacklist_count", state.blacklist_count)
        .number("whitelist_count", state.whitelist_count)
        .number("profile", state.profile)
        .send(conn);
}
