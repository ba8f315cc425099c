// Raw request bytes through the request field readers and the handlers' own pure
// readers. Every output buffer is exactly capacity + 1 bytes, so a value stored past its
// capacity or a missing terminator is caught.
#include "admin/file_read.h"
#include "admin/file_write.h"
#include "admin/policy_endpoints.h"
#include "core/state.h"
#include "exec/exec_fields.h"
#include "fuzz/fuzz_support.h"
#include "runtime/fields.h"
#include "server/request_framing.h"
#include "server/request_guard.h"

static void string_field(const ExactCopy& req, const char* key, i64 capacity)
{
    ExactCopy out(nullptr, capacity + 1, capacity + 1);
    i64 len = read_string_field(req.bytes, req.len, key, text_length(key), out.bytes, capacity);
    fuzz_check(len >= 0 && len <= capacity && out.bytes[len] == 0, "string field bounds");
}

// The exec request's members on the body: whatever it says, a member is read within its
// bound or refused with a message that fits, and the variables are whole entries.
static void exec_members(const char* json, i64 len)
{
    char* mark = heap_mark();
    ExecFields fields {};
    ExactCopy message(nullptr, k_field_message_max, k_field_message_max);
    i64 refused = read_exec_fields(json, len, state.timeout_ms, &fields, message.bytes);
    fuzz_check(refused >= -1 && refused <= k_field_message_max, "exec member message");
    if (refused == 0) {
        fuzz_check(fields.cwd.len <= k_cwd_max && fields.stdin_data.len <= k_stdin_max, "exec member bounds");
        fuzz_check(fields.timeout_ms >= 0 && fields.timeout_ms <= state.timeout_ms, "exec time-out bound");
        fuzz_check(fields.env.len <= k_env_bytes_max && fields.env_count <= k_env_entries_max, "env bounds");
        i64 entries = 0;
        for (i64 at = 0; at < fields.env.len; entries++) {
            i64 entry_len = text_length_max(fields.env.ptr + at, fields.env.len - at);
            fuzz_check(at + entry_len < fields.env.len && find_bytes(fields.env.ptr + at, entry_len, 1, "=", 1) > 0, "env entry");
            at += entry_len + 1;
        }
        fuzz_check(entries == fields.env_count, "env entry count");
    }
    IgnoredFields ignored {};
    list_ignored_fields(json, len, &ignored);
    fuzz_check(ignored.count >= 0 && ignored.count <= k_ignored_names_max && ignored.more >= 0, "ignored members");
    for (i64 i = 0; i < ignored.count; i++)
        fuzz_check(ignored.lens[i] >= 0 && ignored.lens[i] <= k_ignored_name_max, "ignored name");
    heap_release(mark);
}

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz_setup();
    state_init_defaults();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const u8* data, size_t size)
{
    // The connection loop hands the router at most 8,191 bytes.
    ExactCopy req(data, size, 8191);
    i64 body = find_body(req.bytes, req.len);
    fuzz_check(body == -1 || (body >= 4 && body <= req.len), "body offset");

    ExactCopy cmd(nullptr, 2001, 2001);
    i64 cmd_len = read_cmd_field(req.bytes, req.len, cmd.bytes, 2000);
    fuzz_check(cmd_len >= -1 && cmd_len <= 2000, "cmd length");
    fuzz_check(cmd_len < 0 || cmd.bytes[cmd_len] == 0, "cmd not terminated");

    string_field(req, "username", 31);
    string_field(req, "password", 63);
    string_field(req, "action", 15);
    string_field(req, "rule", 200);
    string_field(req, "agent", 31);
    string_field(req, "", 4);
    static const char* const number_keys[] = { "rate_limit", "timeout", "default", "max_tokens", "" };
    for (const char* key : number_keys) {
        i64 value = read_number_field(req.bytes, req.len, key, text_length(key));
        fuzz_check(value >= -1, "number below -1");
    }

    // The file routes read the body: every member into buffers of exactly their capacity,
    // the content's of the body's length, with a small file limit that inputs can reach.
    const char* json = body < 0 ? req.bytes + req.len : req.bytes + body;
    i64 json_len = body < 0 ? 0 : req.len - body;
    ExactCopy path(nullptr, k_agent_path_max + 1, k_agent_path_max + 1);
    ExactCopy content(nullptr, json_len + 1, json_len + 1);
    WriteRequest w {};
    FileRefusal refusal = read_write_request(json, json_len, path.bytes, content.bytes, json_len, 64, &w);
    if (refusal.fault == k_fault_none)
        fuzz_check(w.path.len >= 5 && w.path.len <= k_agent_path_max && w.content.len <= 64 && w.mode >= -1 && w.mode <= 0777,
            "write request");
    ReadRequest r {};
    refusal = read_read_request(json, json_len, path.bytes, &r);
    if (refusal.fault == k_fault_none)
        fuzz_check(r.path.len >= 5 && r.offset >= 0 && r.length >= -1, "read request");
    ProfileField profile = read_profile_field(req.bytes, req.len);
    fuzz_check(profile.status != k_profile_given || (profile.profile >= 0 && profile.profile <= 2), "profile field");
    // Header values lie inside the header block and never start or end with a blank.
    static const char* const header_names[] = { "Authorization", "Host", "Origin", "Content-Type", "" };
    for (const char* name : header_names) {
        ByteSpan value {};
        if (!find_header(req.bytes, req.len, name, &value))
            continue;
        fuzz_check(value.ptr >= req.bytes && value.len >= 0 && value.ptr + value.len <= req.bytes + (body < 0 ? req.len : body),
            "header value bounds");
        fuzz_check(value.len == 0 || (value.ptr[0] != ' ' && value.ptr[value.len - 1] != ' '), "header value blanks");
    }
    exec_members(req.bytes + (body < 0 ? req.len : body), body < 0 ? 0 : req.len - body);
    // The router's guards read the same bytes once framed; the sanitizers watch them.
    Frame frame = frame_request(req.bytes, req.len, request_body_limit(4096));
    if (frame.state == k_frame_complete) {
        (void)host_allowed(frame.request);
        (void)cross_site_request(frame.request);
    }
    return 0;
}
