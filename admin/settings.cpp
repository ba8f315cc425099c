// POST /api/config changes one setting per request, the first that the body carries:
// the login (kept in memory at once and saved to the configuration file, or to /tmp when
// /etc/cindervox cannot be written), the per-agent rate limit (saved to the policy file),
// or the command time-out, which follows from the profile and lasts until the next profile
// switch or restart. POST /api/budget sets the default token budget (saved to the policy
// file) or one agent's own budget (kept in memory only). Every answer says whether the
// change was saved (admin/setting_save.h).
#include "admin/settings.h"
#include "admin/setting_save.h"
#include "agents/registry.h"
#include "core/audit_log.h"
#include "core/change_log.h"
#include "core/config.h"
#include "core/http_response.h"
#include "core/json_answer.h"
#include "core/state.h"
#include "policy/policy_file.h"
#include "runtime/fields.h"
#include "runtime/heap.h"
#include "runtime/text.h"

static constexpr char k_err_missing_setting[] = "missing username/password, rate_limit, or timeout field";
static constexpr char k_err_unstorable_credentials[] = "username and password must not contain '=' or line breaks";
static constexpr char k_saved_message[] = "credentials updated";
static constexpr char k_saved_tmp_message[] = "credentials updated (saved to /tmp — copy to /etc/cindervox/config)";
static constexpr char k_config_path[] = "/etc/cindervox/config";
static constexpr char k_tmp_copy_note[] = "; a copy is in /tmp/cindervox_config, which start-up does not read";
static constexpr char k_timeout_not_kept[] = "no file holds the time-out: the profile's comes back at the next profile change or restart";
static constexpr char k_agent_budget_not_kept[] = "no file holds an agent's own budget: it lasts until the sandbox reset or the server stops";
// The reasons go whole into the answers.
static_assert(sizeof(k_tmp_copy_note) - 1 <= k_save_after_max);
static_assert(sizeof(k_timeout_not_kept) - 1 <= k_save_reason_max && sizeof(k_agent_budget_not_kept) - 1 <= k_save_reason_max);
static_assert(sizeof(k_config_path) - 1 <= k_save_path_max);

// A time-out of a command runs from 1 ms to a day: a run that may last longer would hold its
// slot and its agent's workspace for good.
static constexpr i64 k_timeout_low_ms = 1;
static constexpr i64 k_timeout_high_ms = 86400000;
static constexpr char k_err_rate_limit_range[] = "rate_limit must be a whole number from 1 to 100000";
static constexpr char k_err_timeout_range[] = "timeout must be a whole number from 1 to 86400000";
static constexpr char k_err_default_budget_range[] = "default must be a whole number from 0 to 4294967295";
static_assert(k_rate_limit_low == 1 && k_rate_limit_high == 100000 && k_token_budget_high == 4294967295);

// The Base64 text of the longest credential line and its NUL. The login outlives the
// request, so it lives here rather than on the per-request heap.
static constexpr i64 k_credential_store_size = 4 * ((k_credential_line_capacity + 2) / 3) + 1;
static constinit char credential_store[k_credential_store_size] = {};


static void audit_setting(const char* detail, i64 code)
{
    audit_write(k_system_agent, "CONFIG", { detail, text_length(detail) }, code, 0, "OK");
}

// "<what> <value><unit>" as a change line.
static void note_number_change(const char* what, i64 value, const char* unit)
{
    ChangeNote note;
    begin_change(&note);
    note_text(&note, what);
    note_decimal(&note, value);
    note_text(&note, unit);
    print_change(&note);
}

// The new login is in force before it is saved: a failed save is reported, but the
// server already expects the new pair.
static void change_credentials(int conn, ByteSpan user, ByteSpan password)
{
    char* line = (char*)heap_alloc(k_credential_line_capacity + 1);
    if (!line)
        return send_memory_exhausted(conn);
    i64 len = append_bytes(line, 0, user.ptr, user.len);
    len = append_byte(line, len, ':');
    len = append_bytes(line, len, password.ptr, password.len);
    // A line the reader would not take back would silently restore the built-in login.
    if (!credential_line_storable(line, len))
        return send_json_error(conn, 400, "Bad Request", k_err_unstorable_credentials);
    state.basic_credential_len = base64_encode(line, len, credential_store);
    state.basic_credential = credential_store;
    ChangeNote note;
    begin_change(&note);
    note_text(&note, "changed the admin credentials; the user is now ");
    note_quoted(&note, user);
    print_change(&note);
    ConfigSave saved = save_config(line, len, state.port);
    bool tmp = saved.outcome == k_config_saved_tmp;
    SettingSave save = save_outcome("the credentials change", k_config_path, saved.error, tmp ? k_tmp_copy_note : nullptr);
    audit_setting(tmp ? "credentials_changed_tmp" : "credentials_changed", 0);
    const char* message = tmp ? k_saved_tmp_message : k_saved_message;
    JsonAnswer answer(k_message_answer_size);
    answer_save(answer.text("message", { message, text_length(message) }), save).send(conn);
}

void handle_config(int conn, const char* req, i64 req_len)
{
    char* user = (char*)heap_alloc(k_username_capacity + 1);
    char* password = (char*)heap_alloc(k_password_capacity + 1);
    if (!user || !password)
        return send_memory_exhausted(conn);
    i64 user_len = read_string_field(req, req_len, "username", 8, user, k_username_capacity);
    i64 password_len = read_string_field(req, req_len, "password", 8, password, k_password_capacity);
    if (user_len > 0 && password_len > 0)
        return change_credentials(conn, { user, user_len }, { password, password_len });
    // A value of 0 counts as absent, and the next setting is looked at.
    IntegerField rate_field = read_integer_member(req, req_len, "rate_limit");
    i64 rate = rate_field.status == k_integer_given ? rate_field.value : 0;
    if (rate_field.status == k_integer_invalid || rate < 0 || rate > k_rate_limit_high)
        return send_json_error(conn, 400, "Bad Request", k_err_rate_limit_range);
    if (rate >= k_rate_limit_low) {
        state.max_rate_per_agent = rate;
        note_number_change("set the rate limit to ", rate, " runs per minute per agent");
        SettingSave save = save_outcome("the rate limit", k_policy_path, save_policy_file());
        audit_setting("rate_limit", rate);
        JsonAnswer answer(k_number_answer_size);
        return answer_save(answer.number("max_rate_per_agent", rate), save).send(conn);
    }
    IntegerField timeout_field = read_integer_member(req, req_len, "timeout");
    i64 timeout = timeout_field.status == k_integer_given ? timeout_field.value : 0;
    if (timeout_field.status == k_integer_invalid || timeout < 0 || timeout > k_timeout_high_ms)
        return send_json_error(conn, 400, "Bad Request", k_err_timeout_range);
    if (timeout >= k_timeout_low_ms) {
        state.timeout_ms = timeout;
        note_number_change("set the command time-out to ", timeout, " ms");
        SettingSave save = not_saved("the time-out", k_timeout_not_kept);
        audit_setting("timeout", timeout);
        JsonAnswer answer(k_number_answer_size);
        return answer_save(answer.number("timeout_ms", timeout), save).send(conn);
    }
    send_json_error(conn, 400, "Bad Request", k_err_missing_setting);
}

// An agent's own budget is a u32 counter: a larger request keeps the largest budget
// rather than wrapping to a small (or zero, unlimited) one. Absent means 0 (the default).
static i64 agent_budget_value(i64 requested) { return requested > k_u32_max ? k_u32_max : requested; }

void handle_budget(int conn, const char* req, i64 req_len)
{
    if (find_body(req, req_len) < 0)
        return send_json_error(conn, 400, "Bad Request", "missing body");
    IntegerField default_field = read_integer_member(req, req_len, "default");
    i64 default_budget = default_field.value;
    if (default_field.status == k_integer_invalid || (default_field.status == k_integer_given && (default_budget < 0 || default_budget > k_token_budget_high)))
        return send_json_error(conn, 400, "Bad Request", k_err_default_budget_range);
    if (default_field.status == k_integer_given) {
        state.default_token_budget = default_budget;
        note_number_change("set the default token budget to ", default_budget, default_budget == 0 ? " (unlimited)" : " tokens");
        SettingSave save = save_outcome("the default token budget", k_policy_path, save_policy_file());
        JsonAnswer answer(k_number_answer_size);
        return answer_save(answer.number("default_token_budget", default_budget), save).send(conn);
    }
    char* name = (char*)heap_alloc(k_agent_name_capacity + 1);
    if (!name)
        return send_memory_exhausted(conn);
    i64 name_len = read_string_field(req, req_len, "agent", 5, name, k_agent_name_capacity);
    IntegerField budget_field = read_integer_member(req, req_len, "max_tokens");
    if (name_len == 0)
        return send_json_error(conn, 400, "Bad Request", "missing agent or default field");
    if (budget_field.status == k_integer_invalid || (budget_field.status == k_integer_given && budget_field.value < 0))
        return send_json_error(conn, 400, "Bad Request", "max_tokens must be a whole number of 0 or more");
    i64 budget = agent_budget_value(budget_field.status == k_integer_given ? budget_field.value : 0);
    i64 index = register_agent(name, name_len);
    if (index < 0)
        return send_json_error(conn, 400, "Bad Request", "agent registry full");
    agent_record(index)->token_budget = (u32)budget;
    ChangeNote note;
    begin_change(&note);
    note_text(&note, "set the token budget of agent ");
    note_quoted(&note, { name, name_len });
    note_text(&note, " to ");
    note_decimal(&note, budget);
    note_text(&note, budget == 0 ? " (the default)" : " tokens");
    print_change(&note);
    SettingSave save = not_saved("the agent's budget", k_agent_budget_not_kept);
    JsonAnswer answer(k_agent_answer_size);
    answer_save(answer.text("agent", { name, name_len }).number("max_tokens", budget), save).send(conn);
}
