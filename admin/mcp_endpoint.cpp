// The MCP endpoint reads one JSON-RPC message with the runtime's JSON reader and answers
// initialize, ping, tools/list and tools/call. A tool call is not a second copy of the
// exec or file pipeline: the endpoint writes the matching /api/ request (the command or
// path as the client's own JSON string, the caller's Authorization line, the agent in
// X-Agent), runs it through the router, and takes the route's answer through the response
// writer's carrier, so screen, policy, rate window, budget, audit and run are exactly
// those of the route. A refusal becomes a tool result with isError, never a protocol error.
// A command's call goes on after the route returns: it is recorded for a cancellation, and
// its answer becomes a progress stream when the client asked for one.
#include "admin/mcp_endpoint.h"
#include "admin/mcp_calls.h"
#include "admin/mcp_progress.h"
#include "agents/registry.h"
#include "core/connection_table.h"
#include "core/http_response.h"
#include "core/http_status.h"
#include "core/version.h"
#include "exec/sandbox_runner.h"
#include "runtime/fields.h"
#include "runtime/heap.h"
#include "runtime/json_reader.h"
#include "runtime/text.h"

enum McpTool {
    k_tool_execute_command,
    k_tool_write_file,
    k_tool_read_file,
    k_tool_list_files,
    k_tool_start_command,
    k_tool_command_status,
    k_tool_write_command_stdin,
    k_tool_stop_command,
    k_tool_list_commands,
};

// Where an argument goes in its route's request: a member of the JSON body, the X-Agent
// header, the path (the run's id) or the query. The path and the query take whole numbers
// only, which the endpoint checks, as it writes them into the request line.
enum ArgumentPlace : u8 { k_in_body, k_in_header, k_in_path, k_in_query };

// What the endpoint itself asks of an argument's value before the route judges it: nothing,
// a JSON string, or a whole number of 0 or more (at most 18 digits).
enum ArgumentKind : u8 { k_any, k_text, k_whole };

// One argument a tool takes: its name, its member's key in the route's body (or its query
// key), where it goes, what the endpoint checks and whether the call needs it.
struct ToolArgument {
    const char* name;
    const char* member;
    ArgumentPlace place;
    ArgumentKind kind;
    bool required;
};

static constexpr ToolArgument k_agent_argument { "agent", nullptr, k_in_header, k_any, false };
static constexpr ToolArgument k_run_id_argument { "run_id", nullptr, k_in_path, k_whole, true };

static constexpr ToolArgument k_execute_arguments[] = {
    { "command", R"("cmd":)", k_in_body, k_text, true },
    { "cwd", R"("cwd":)", k_in_body, k_any, false },
    { "env", R"("env":)", k_in_body, k_any, false },
    { "stdin", R"("stdin":)", k_in_body, k_any, false },
    { "stdin_encoding", R"("stdin_encoding":)", k_in_body, k_any, false },
    { "timeout_ms", R"("timeout_ms":)", k_in_body, k_any, false },
    { "merge_stderr", R"("merge_stderr":)", k_in_body, k_any, false },
    k_agent_argument,
};
static constexpr ToolArgument k_write_arguments[] = {
    { "path", R"("path":)", k_in_body, k_text, true },
    { "content", R"("content":)", k_in_body, k_text, true },
    { "encoding", R"("encoding":)", k_in_body, k_any, false },
    { "mode", R"("mode":)", k_in_body, k_any, false },
    { "append", R"("append":)", k_in_body, k_any, false },
    k_agent_argument,
};
static constexpr ToolArgument k_read_arguments[] = {
    { "path", R"("path":)", k_in_body, k_text, true },
    { "offset", R"("offset":)", k_in_body, k_any, false },
    { "length", R"("length":)", k_in_body, k_any, false },
    { "encoding", R"("encoding":)", k_in_body, k_any, false },
    k_agent_argument,
};
// list_files lists /tmp without a path.
static constexpr ToolArgument k_list_arguments[] = { { "path", R"("path":)", k_in_body, k_text, false }, k_agent_argument };
static constexpr ToolArgument k_start_arguments[] = {
    { "command", R"("cmd":)", k_in_body, k_text, true },
    { "cwd", R"("cwd":)", k_in_body, k_any, false },
    { "env", R"("env":)", k_in_body, k_any, false },
    { "timeout_ms", R"("timeout_ms":)", k_in_body, k_any, false },
    k_agent_argument,
};
static constexpr ToolArgument k_status_arguments[] = {
    k_run_id_argument,
    { "offset", "?offset=", k_in_query, k_whole, false },
    k_agent_argument,
};
static constexpr ToolArgument k_stdin_arguments[] = {
    k_run_id_argument,
    { "data", R"("data":)", k_in_body, k_any, false },
    { "eof", R"("eof":)", k_in_body, k_any, false },
    k_agent_argument,
};
static constexpr ToolArgument k_run_arguments[] = { k_run_id_argument, k_agent_argument };
static constexpr ToolArgument k_agent_only[] = { k_agent_argument };

// The tools, each with its route: the method, the path (before the run id for a tool that
// names a run, and what follows it), the members every body has besides the arguments
// (nullptr: the request has no body), and the arguments in the order the body lists them.
struct ToolRow {
    const char* name;
    McpTool tool;
    const char* method;
    const char* path;
    const char* path_end;
    const char* fixed_members;
    const ToolArgument* arguments;
    i64 argument_count;
};

template <i64 N>
static constexpr ToolRow tool_row(const char* name, McpTool tool, const char* method, const char* path, const char* path_end,
    const char* fixed_members, const ToolArgument (&arguments)[N])
{
    return { name, tool, method, path, path_end, fixed_members, arguments, N };
}

static constexpr ToolRow k_tools[] = {
    tool_row("execute_command", k_tool_execute_command, "POST", "/api/exec", "", "", k_execute_arguments),
    tool_row("write_file", k_tool_write_file, "POST", "/api/write", "", "", k_write_arguments),
    tool_row("read_file", k_tool_read_file, "POST", "/api/read", "", "", k_read_arguments),
    tool_row("list_files", k_tool_list_files, "POST", "/api/list", "", "", k_list_arguments),
    tool_row("start_command", k_tool_start_command, "POST", "/api/exec", "", R"("background":true)", k_start_arguments),
    tool_row("command_status", k_tool_command_status, "GET", "/api/runs/", "", nullptr, k_status_arguments),
    tool_row("write_command_stdin", k_tool_write_command_stdin, "POST", "/api/runs/", "/stdin", "", k_stdin_arguments),
    tool_row("stop_command", k_tool_stop_command, "DELETE", "/api/runs/", "", nullptr, k_run_arguments),
    tool_row("list_commands", k_tool_list_commands, "GET", "/api/runs", "", nullptr, k_agent_only),
};

// The parts of a route body at most: for every argument of the widest tool a separator, a
// key and a value; the fixed members, their separator, and the braces.
static constexpr i64 k_tool_arguments_max = 8;
static constexpr i64 k_body_parts_max = 3 * k_tool_arguments_max + 4;

static constexpr bool tools_fit()
{
    for (const ToolRow& row : k_tools)
        if (row.argument_count > k_tool_arguments_max)
            return false;
    return true;
}
static_assert(tools_fit(), "a tool takes more arguments than a route body has room for");

// The schema of the agent argument, which every tool takes.
#define K_AGENT_PROPERTY                                                                                                           \
    R"("agent":{"type":"string","minLength":1,"maxLength":31,)"                                                                    \
    R"("description":"Name the call is attributed to (audit log, limits, workspace); at most 31 bytes of printable text. )"       \
    R"(Default: the X-Agent header, else mcp. Ignored with an agent token, which names its agent."})"

// The agent argument of the background-run tools, which execute_command's describes whole.
#define K_RUN_AGENT_PROPERTY R"("agent":{"type":"string","minLength":1,"maxLength":31,"description":"As for execute_command."})"

// The tools as tools/list shows them. The descriptions are what a model reads before it
// decides to call one, so they say what the sandbox is and where its limits are (the
// server's defaults; the operator may set others).
static constexpr char k_tools_list[] =
    R"({"tools":[)"
    R"({"name":"execute_command","title":"Run a shell command in the sandbox",)"
    R"("description":"Runs one command with /bin/sh -c inside the Cindervox sandbox and returns its stdout and )"
    R"(stderr (separately, unless merge_stderr), exit code and duration. The sandbox is not this machine's own shell: )"
    R"(the network is the agent's own loopback only, the system directories are read-only, and /tmp (the agent's )"
    R"(workspace, kept between its commands, and the default working directory) is the only writable place; making )"
    R"(mounts is refused. CPU time, memory, processes, file size and run time are limited by the server's profile )"
    R"((a run that outlasts its time-out is killed and reports timed_out). A command is at most 65,536 bytes by default )"
    R"(and is never cut: a longer one is refused. Each output stream keeps up to 1 MiB by default; beyond that its first )"
    R"(and last halves are kept and stdout_truncated or stderr_truncated says so. Every command is screened first: )"
    R"(sensitive paths and shell constructs such as $( ), backquotes, .. and eval are refused, as are blacklisted )"
    R"(commands, and in the strict profile only whitelisted command words run. A refusal comes back as an error result )"
    R"(naming the rule that matched; change the command rather than retrying it. Runs are counted against a per-agent )"
    R"(rate limit and token budget.",)"
    R"("inputSchema":{"type":"object","properties":{)"
    R"("command":{"type":"string","minLength":1,"description":"The shell command line."},)"
    R"("cwd":{"type":"string","description":"Working directory: absolute under /tmp or relative to /tmp, inside the workspace (default /tmp)."},)"
    R"("env":{"type":"object","description":"Environment variables to add, names to string values (32 KiB in all). PATH, HOME, TERM and LD_* are refused.",)"
    R"("propertyNames":{"pattern":"^[A-Za-z_][A-Za-z0-9_]*$"},"additionalProperties":{"type":"string"}},)"
    R"("stdin":{"type":"string","description":"Standard input of the command, at most 1 MiB (default: none, /dev/null)."},)"
    R"("stdin_encoding":{"type":"string","enum":["utf-8","base64"],"default":"utf-8","description":"base64 for bytes that are not text."},)"
    R"("timeout_ms":{"type":"integer","minimum":1,"description":"Time-out of this run in milliseconds, at most the profile's."},)"
    R"("merge_stderr":{"type":"boolean","default":false,"description":"One combined stream in stdout, as a terminal shows it; stderr is then empty."},)"
    K_AGENT_PROPERTY R"(},)"
    R"("required":["command"],"additionalProperties":false},)"
    R"("outputSchema":{"type":"object","properties":{)"
    R"("stdout":{"type":"string"},"stderr":{"type":"string"},"exit_code":{"type":"integer"},"duration_ms":{"type":"integer"},)"
    R"("stdout_bytes":{"type":"integer"},"stderr_bytes":{"type":"integer"},)"
    R"("stdout_truncated":{"type":"boolean"},"stderr_truncated":{"type":"boolean"},)"
    R"("stdout_lossy":{"type":"boolean"},"stderr_lossy":{"type":"boolean"},)"
    R"("timed_out":{"type":"boolean"},"killed_by":{"type":"string"},"call":{"type":"string"},)"
    R"("files":{"type":"array","items":{"type":"string"}},)"
    R"("ignored_fields":{"type":"array","items":{"type":"string"}},"ignored_fields_more":{"type":"integer"}},)"
    R"("required":["stdout","exit_code","duration_ms"]},)"
    R"("annotations":{"title":"Run a shell command in the sandbox","readOnlyHint":false,"destructiveHint":true,)"
    R"("idempotentHint":false,"openWorldHint":false}},)"
    R"({"name":"write_file","title":"Write a file in the sandbox",)"
    R"("description":"Writes a file under /tmp/ of the sandbox (the agent's workspace), replacing what was there or )"
    R"(appending to it, so that a later execute_command can run or read it. Missing parent directories are made. The )"
    R"(path must start with /tmp/ and must not contain .. or pass through a symbolic link. content is text, or any bytes )"
    R"(as base64 with encoding base64; a file is at most 8 MiB by default (a larger one is refused and nothing is )"
    R"(written).",)"
    R"("inputSchema":{"type":"object","properties":{)"
    R"("path":{"type":"string","description":"Absolute path under /tmp/, for example /tmp/job.py."},)"
    R"("content":{"type":"string","description":"The bytes to write: text, or base64 with encoding base64. May be empty."},)"
    R"("encoding":{"type":"string","enum":["utf-8","base64"],"default":"utf-8","description":"How content is given."},)"
    R"("mode":{"type":"string","pattern":"^[0-7]{3,4}$","description":"Permissions as octal text, for example 0755 for a script (setuid, setgid and sticky are refused; default 0644)."},)"
    R"("append":{"type":"boolean","default":false,"description":"Add to the end of the file instead of replacing it."},)"
    K_AGENT_PROPERTY R"(},)"
    R"("required":["path","content"],"additionalProperties":false},)"
    R"("outputSchema":{"type":"object","properties":{)"
    R"("path":{"type":"string"},"bytes_written":{"type":"integer"},"size":{"type":"integer"}},)"
    R"("required":["path","bytes_written"]},)"
    R"("annotations":{"title":"Write a file in the sandbox","readOnlyHint":false,"destructiveHint":true,)"
    R"("idempotentHint":false,"openWorldHint":false}},)"
    R"({"name":"read_file","title":"Read a file from the sandbox",)"
    R"("description":"Reads a file under /tmp/ of the sandbox (what a command or write_file left there). Returns its )"
    R"(content as text (bytes that are not UTF-8 are replaced, and lossy says so) or, with encoding base64, exactly; )"
    R"(offset and length read a part of a large file, and eof says whether the read reached the end.",)"
    R"("inputSchema":{"type":"object","properties":{)"
    R"("path":{"type":"string","description":"Absolute path under /tmp/."},)"
    R"("offset":{"type":"integer","minimum":0,"default":0,"description":"First byte to read."},)"
    R"("length":{"type":"integer","minimum":0,"description":"Bytes to read at most (default: to the end, within the server's limit)."},)"
    R"("encoding":{"type":"string","enum":["utf-8","base64"],"default":"utf-8","description":"base64 returns the bytes exactly."},)"
    K_AGENT_PROPERTY R"(},)"
    R"("required":["path"],"additionalProperties":false},)"
    R"("outputSchema":{"type":"object","properties":{)"
    R"("path":{"type":"string"},"size":{"type":"integer"},"offset":{"type":"integer"},"bytes":{"type":"integer"},)"
    R"("encoding":{"type":"string"},"content":{"type":"string"},"eof":{"type":"boolean"},"lossy":{"type":"boolean"}},)"
    R"("required":["path","size","content"]},)"
    R"("annotations":{"title":"Read a file from the sandbox","readOnlyHint":true,"destructiveHint":false,)"
    R"("idempotentHint":true,"openWorldHint":false}},)"
    R"({"name":"list_files","title":"List a directory in the sandbox",)"
    R"("description":"Lists the entries of a directory under /tmp of the sandbox: name, type (file, dir, link or )"
    R"(other), size, mode and modification time. At most 1,000 entries; truncated says when there are more.",)"
    R"("inputSchema":{"type":"object","properties":{)"
    R"("path":{"type":"string","default":"/tmp","description":"The directory: /tmp or a path under it (default /tmp)."},)"
    K_AGENT_PROPERTY R"(},)"
    R"("additionalProperties":false},)"
    R"("outputSchema":{"type":"object","properties":{)"
    R"("path":{"type":"string"},"entries":{"type":"array","items":{"type":"object","properties":{)"
    R"("name":{"type":"string"},"type":{"type":"string"},"size":{"type":"integer"},"mode":{"type":"string"},)"
    R"("mtime":{"type":"integer"}}}},"count":{"type":"integer"},"truncated":{"type":"boolean"}},)"
    R"("required":["path","entries"]},)"
    R"("annotations":{"title":"List a directory in the sandbox","readOnlyHint":true,"destructiveHint":false,)"
    R"("idempotentHint":true,"openWorldHint":false}},)"
    R"({"name":"start_command","title":"Start a command in the background",)"
    R"("description":"Starts one command with /bin/sh -c, screened and confined as execute_command's are, and returns its )"
    R"(run_id at once while it goes on: for builds, servers, anything that may outlast a call. It runs up to an hour )"
    R"((timeout_ms may shorten it), at most 4 at once per agent; stdout and stderr are one stream kept in a ring of 1 MiB )"
    R"((the oldest output gives way). Read it with command_status, feed it with write_command_stdin, end it with )"
    R"(stop_command.",)"
    R"("inputSchema":{"type":"object","properties":{)"
    R"("command":{"type":"string","minLength":1,"description":"The shell command line."},)"
    R"("cwd":{"type":"string","description":"Working directory, as for execute_command."},)"
    R"("env":{"type":"object","description":"Environment variables to add, as for execute_command.",)"
    R"("additionalProperties":{"type":"string"}},)"
    R"("timeout_ms":{"type":"integer","minimum":1,"description":"Time-out of the run in milliseconds (default and limit: the server's max_background_seconds)."},)"
    K_RUN_AGENT_PROPERTY R"(},)"
    R"("required":["command"],"additionalProperties":false},)"
    R"("outputSchema":{"type":"object","properties":{"run_id":{"type":"integer"}},"required":["run_id"]},)"
    R"("annotations":{"readOnlyHint":false,"destructiveHint":true,)"
    R"("idempotentHint":false,"openWorldHint":false}},)"
    R"({"name":"command_status","title":"Read a background command",)"
    R"("description":"Returns a background run's state (running or exited), its exit code once it has ended, and its )"
    R"(output from offset on, with next_offset to read on from. A finished run is kept 10 minutes. When the ring no longer )"
    R"(holds the output at offset, the answer starts later and dropped says how many bytes were missed.",)"
    R"("inputSchema":{"type":"object","properties":{)"
    R"("run_id":{"type":"integer","minimum":1,"description":"What start_command returned."},)"
    R"("offset":{"type":"integer","minimum":0,"default":0,"description":"First output byte to return: 0, or the last next_offset."},)"
    K_RUN_AGENT_PROPERTY R"(},)"
    R"("required":["run_id"],"additionalProperties":false},)"
    R"("outputSchema":{"type":"object","properties":{)"
    R"("run_id":{"type":"integer"},"state":{"type":"string","enum":["running","exited"]},"exit_code":{"type":"integer"},)"
    R"("output":{"type":"string"},"next_offset":{"type":"integer"},"dropped":{"type":"integer"}},)"
    R"("required":["run_id","state","output","next_offset"]},)"
    R"("annotations":{"readOnlyHint":true,"destructiveHint":false,)"
    R"("idempotentHint":true,"openWorldHint":false}},)"
    R"({"name":"write_command_stdin","title":"Write to a background command's input",)"
    R"("description":"Writes data to a background run's stdin as far as its pipe takes it now (written says how much; )"
    R"(send the rest again later), and with eof true then closes the input.",)"
    R"("inputSchema":{"type":"object","properties":{)"
    R"("run_id":{"type":"integer","minimum":1,"description":"What start_command returned."},)"
    R"("data":{"type":"string","description":"Text to write, at most 65,536 bytes."},)"
    R"("eof":{"type":"boolean","default":false,"description":"Close the input after data."},)"
    K_RUN_AGENT_PROPERTY R"(},)"
    R"("required":["run_id"],"additionalProperties":false},)"
    R"("outputSchema":{"type":"object","properties":{"bytes":{"type":"integer"},"written":{"type":"integer"},)"
    R"("stdin_open":{"type":"boolean"}},"required":["written"]},)"
    R"("annotations":{"readOnlyHint":false,"destructiveHint":false,)"
    R"("idempotentHint":false,"openWorldHint":false}},)"
    R"({"name":"stop_command","title":"Stop a background command",)"
    R"("description":"Kills a background run with its whole process tree (exit code 137). A run that had ended already )"
    R"(is left as it was: stopped is then false.",)"
    R"("inputSchema":{"type":"object","properties":{)"
    R"("run_id":{"type":"integer","minimum":1,"description":"What start_command returned."},)"
    K_RUN_AGENT_PROPERTY R"(},)"
    R"("required":["run_id"],"additionalProperties":false},)"
    R"("outputSchema":{"type":"object","properties":{"run_id":{"type":"integer"},"stopped":{"type":"boolean"}},)"
    R"("required":["run_id","stopped"]},)"
    R"("annotations":{"readOnlyHint":false,"destructiveHint":true,)"
    R"("idempotentHint":true,"openWorldHint":false}},)"
    R"({"name":"list_commands","title":"List background commands",)"
    R"("description":"Lists your background runs, running or ended in the last 10 minutes: run_id, command, state, )"
    R"(exit code and output_bytes of each.",)"
    R"("inputSchema":{"type":"object","properties":{)" K_RUN_AGENT_PROPERTY R"(},"additionalProperties":false},)"
    R"("outputSchema":{"type":"object","properties":{"runs":{"type":"array","items":{"type":"object"}},)"
    R"("count":{"type":"integer"}},"required":["runs"]},)"
    R"("annotations":{"readOnlyHint":true,"destructiveHint":false,)"
    R"("idempotentHint":true,"openWorldHint":false}})"
    R"(]})";
#undef K_AGENT_PROPERTY
#undef K_RUN_AGENT_PROPERTY

static constexpr char k_instructions[] = "Cindervox runs shell commands for you in a confined sandbox: no network beyond your own "
                                         "loopback, read-only system directories, a writable /tmp that is your workspace, resource "
                                         "and time limits, and a command policy that refuses some commands. Use execute_command for "
                                         "commands, start_command and its companions for commands that run long, and "
                                         "write_file, read_file and list_files for files under /tmp/.";

static constexpr char k_default_agent[] = "mcp";

// JSON-RPC error codes.
static constexpr i64 k_parse_error = -32700;
static constexpr i64 k_invalid_request = -32600;
static constexpr i64 k_method_not_found = -32601;
static constexpr i64 k_invalid_params = -32602;

// Room for an answer that is not a tool result: the tool list, or an error message, and
// the envelope with an id of at most k_id_max bytes. A tool result adds to this at most
// twice its route's answer (mcp_tool_answer_size).
static constexpr i64 k_id_max = 256;
static constexpr i64 k_fixed_answer_size = sizeof(k_tools_list) + sizeof(k_instructions) + k_id_max + 512;
// What a route request adds to the arguments it carries: request line, headers, the keys
// of every member (under 160 bytes in all) and list_files' default path.
static constexpr i64 k_route_request_extra = 1024;

// ---- pure pieces ----------------------------------------------------------------

static bool span_is(ByteSpan span, const char* text)
{
    i64 len = text_length(text);
    return span.len == len && bytes_equal(span.ptr, text, len);
}

const char* choose_mcp_version(ByteSpan requested)
{
    for (const char* version : k_mcp_versions)
        if (span_is(requested, version))
            return version;
    return k_mcp_versions[0];
}

bool mcp_version_acceptable(ByteSpan value)
{
    for (const char* version : k_mcp_versions)
        if (span_is(value, version))
            return true;
    return span_is(value, "2025-03-26");
}

bool origin_matches_host(ByteSpan origin, ByteSpan host)
{
    static constexpr const char* k_schemes[] = { "http://", "https://" };
    for (const char* scheme : k_schemes) {
        i64 len = text_length(scheme);
        if (origin.len == len + host.len && host.len > 0 && bytes_equal(origin.ptr, scheme, len) &&
            bytes_equal(origin.ptr + len, host.ptr, host.len))
            return true;
    }
    return false;
}

// The header's value, or ptr nullptr when the request has no such header.
static ByteSpan header_value(const char* req, i64 req_len, const char* name)
{
    ByteSpan value { nullptr, 0 };
    return find_header(req, req_len, name, &value) ? value : ByteSpan { nullptr, 0 };
}

// ---- answers ----------------------------------------------------------------------

static void send_rpc(int conn, i64 status, const char* reason, const char* body, i64 len) { send_json(conn, status, reason, body, len); }

static i64 begin_envelope(char* out, ByteSpan id)
{
    i64 pos = append_text(out, 0, R"({"jsonrpc":"2.0","id":)");
    if (id.len > 0)
        return append_bytes(out, pos, id.ptr, id.len);
    return append_text(out, pos, "null");
}

static void send_rpc_error(int conn, i64 status, const char* reason, ByteSpan id, i64 code, const char* message)
{
    char* out = (char*)heap_alloc(k_fixed_answer_size);
    if (!out)
        return send_memory_exhausted(conn);
    i64 pos = begin_envelope(out, id);
    pos = append_text(out, pos, R"(,"error":{"code":)");
    pos = append_decimal(out, pos, code);
    pos = append_text(out, pos, R"(,"message":)");
    pos = append_json_string(out, pos, message, text_length(message));
    pos = append_text(out, pos, "}}");
    send_rpc(conn, status, reason, out, pos);
}

// Results of a known, small size (initialize, ping, the tool list, a tool's argument error).
static void send_rpc_result(int conn, ByteSpan id, const char* result, i64 result_len)
{
    char* out = (char*)heap_alloc(k_fixed_answer_size + result_len);
    if (!out)
        return send_memory_exhausted(conn);
    i64 pos = begin_envelope(out, id);
    pos = append_text(out, pos, R"(,"result":)");
    pos = append_bytes(out, pos, result, result_len);
    pos = append_byte(out, pos, '}');
    send_rpc(conn, 200, "OK", out, pos);
}

// A tool result that is an error the model can act on (bad arguments, a refusal).
static void send_tool_error(int conn, ByteSpan id, const char* message)
{
    char* out = (char*)heap_alloc(k_fixed_answer_size);
    if (!out)
        return send_memory_exhausted(conn);
    i64 pos = append_text(out, 0, R"({"content":[{"type":"text","text":)");
    pos = append_json_string(out, pos, message, text_length(message));
    pos = append_text(out, pos, R"(}],"isError":true})");
    send_rpc_result(conn, id, out, pos);
}

// ---- initialize ---------------------------------------------------------------------

static void answer_initialize(int conn, const char* json, i64 len, i64 params, ByteSpan id)
{
    char requested[32];
    i64 requested_len = 0;
    i64 value = params < 0 ? -1 : json_find_member(json, len, params, "protocolVersion", 15);
    if (value >= 0) {
        JsonString text = json_decode_string(json, len, value, requested, sizeof(requested) - 1);
        requested_len = text.end < 0 ? 0 : text.stored;
    }
    char* out = (char*)heap_alloc(k_fixed_answer_size);
    if (!out)
        return send_memory_exhausted(conn);
    i64 pos = append_text(out, 0, R"({"protocolVersion":")");
    pos = append_text(out, pos, choose_mcp_version({ requested, requested_len }));
    pos = append_text(out, pos, R"(","capabilities":{"tools":{"listChanged":false}},)");
    pos = append_text(out, pos, R"("serverInfo":{"name":"cindervox","title":"Cindervox sandbox","version":")" CINDERVOX_VERSION R"("},)");
    pos = append_text(out, pos, R"("instructions":)");
    pos = append_json_string(out, pos, k_instructions, sizeof(k_instructions) - 1);
    pos = append_byte(out, pos, '}');
    send_rpc_result(conn, id, out, pos);
}

// ---- tools/call ---------------------------------------------------------------------

// A call on its way through its route: the tool, the request's id, and the serial of its
// connection while a cancellation may look for it (0 otherwise).
struct ToolCall {
    McpTool tool;
    ByteSpan id;
    u64 serial;
};

// The raw JSON text of a string member of args, quotes included; len 0 when absent or
// not a string.
static ByteSpan string_member(const char* json, i64 len, i64 args, const char* key)
{
    i64 value = json_find_member(json, len, args, key, text_length(key));
    if (value < 0 || json[value] != '"')
        return { nullptr, 0 };
    i64 end = json_value_end(json, len, value);
    return end < 0 ? ByteSpan { nullptr, 0 } : ByteSpan { json + value, end - value };
}

// The agent a tool runs for: the "agent" argument, else the request's X-Agent header, else
// "mcp". Returns its length, or -1 when the argument is not printable text of at most 31
// bytes (it travels in a header line).
static i64 tool_agent(const char* json, i64 len, i64 args, const char* req, i64 req_len, char* out)
{
    i64 value = json_find_member(json, len, args, "agent", 5);
    ByteSpan name { nullptr, 0 };
    if (value >= 0) {
        JsonString text = json_decode_string(json, len, value, out, 31);
        if (text.end < 0 || text.decoded != text.stored || text.stored == 0)
            return -1;
        name = { out, text.stored };
    } else {
        name = header_value(req, req_len, "X-Agent");
        if (name.ptr == nullptr || name.len == 0)
            name = { k_default_agent, sizeof(k_default_agent) - 1 };
        if (name.len > 31)
            name.len = 31;
        copy_bytes(out, name.ptr, name.len);
    }
    for (i64 i = 0; i < name.len; i++)
        if ((u8)out[i] < 0x20 || out[i] == 0x7f)
            return -1;
    return name.len;
}

// The pieces of a route's request that come from the call: the request line's target (the
// path, the run's id, what follows it in the path, the query) and the body.
struct RouteParts {
    ByteSpan target[5];
    i64 target_count;
    ByteSpan body[k_body_parts_max];
    i64 body_count;
};

static i64 append_spans(char* out, i64 pos, const ByteSpan* spans, i64 count)
{
    for (i64 i = 0; i < count; i++)
        pos = append_bytes(out, pos, spans[i].ptr, spans[i].len);
    return pos;
}

// The route's request: its request line, the caller's Authorization line (so whatever the
// router decided about the caller holds for the route too), the agent, and the body.
static i64 build_route_request(char* out, const char* method, ByteSpan authorization, ByteSpan agent, const RouteParts& parts)
{
    i64 body_len = 0;
    for (i64 i = 0; i < parts.body_count; i++)
        body_len += parts.body[i].len;
    i64 pos = append_text(out, 0, method);
    pos = append_byte(out, pos, ' ');
    pos = append_spans(out, pos, parts.target, parts.target_count);
    pos = append_text(out, pos, " HTTP/1.1\r\n");
    if (authorization.ptr != nullptr) {
        pos = append_text(out, pos, "Authorization: ");
        pos = append_bytes(out, pos, authorization.ptr, authorization.len);
        pos = append_text(out, pos, "\r\n");
    }
    pos = append_text(out, pos, "X-Agent: ");
    pos = append_bytes(out, pos, agent.ptr, agent.len);
    pos = append_text(out, pos, "\r\nContent-Type: application/json\r\nContent-Length: ");
    pos = append_decimal(out, pos, body_len);
    pos = append_text(out, pos, "\r\n\r\n");
    pos = append_spans(out, pos, parts.body, parts.body_count);
    out[pos] = 0;
    return pos;
}

// Copies the interior of a JSON string's raw text (without its quotes).
static i64 append_string_interior(char* out, i64 pos, ByteSpan raw)
{
    return raw.len >= 2 ? append_bytes(out, pos, raw.ptr + 1, raw.len - 2) : pos;
}

// An integer member of the object at object (0: the answer itself), or fallback.
static i64 integer_in(const char* json, i64 len, i64 object, const char* key, i64 fallback)
{
    i64 value = json_find_member(json, len, object, key, text_length(key));
    JsonInteger number = value < 0 ? JsonInteger { false, 0 } : json_read_integer(json, len, value);
    return number.ok ? number.value : fallback;
}

static i64 integer_member(const char* json, i64 len, const char* key, i64 fallback) { return integer_in(json, len, 0, key, fallback); }

// A boolean member of a route's answer: 1 true, 0 false, -1 absent (or another value).
static i64 flag_member(const char* json, i64 len, const char* key)
{
    i64 value = json_find_member(json, len, 0, key, text_length(key));
    if (value >= 0 && value + 4 <= len && bytes_equal(json + value, "true", 4))
        return 1;
    if (value >= 0 && value + 5 <= len && bytes_equal(json + value, "false", 5))
        return 0;
    return -1;
}

// Calls visit(value) with the offset of each value of the array at array (nothing when
// array holds no array).
template <typename Visit>
static void for_each_element(const char* json, i64 len, i64 array, Visit visit)
{
    if (array < 0 || json[array] != '[')
        return;
    i64 pos = json_skip_blanks(json, len, array + 1);
    while (pos < len && json[pos] != ']') {
        i64 end = json_value_end(json, len, pos);
        if (end < 0)
            return;
        visit(pos);
        pos = json_skip_blanks(json, len, end);
        if (pos >= len || json[pos] != ',')
            return;
        pos = json_skip_blanks(json, len, pos + 1);
    }
}

// The notes after a command's output, one text joined by ", ": how it ended when that was
// not a plain exit 0, what was cut, what the request held that the server ignored. Each
// note is fixed text, a number or bytes of the answer, so the text stays within the
// answer's size.
static i64 append_exec_notes(char* out, i64 pos, const char* body, i64 len)
{
    i64 start = pos;
    auto next = [&]() { pos = pos > start ? append_text(out, pos, ", ") : append_text(out, pos, R"(,{"type":"text","text":")"); };
    if (flag_member(body, len, "timed_out") == 1) {
        next();
        pos = append_text(out, pos, "timed out and killed");
    }
    ByteSpan killed_by = string_member(body, len, 0, "killed_by");
    if (killed_by.len > 0) {
        next();
        pos = append_text(out, pos, "killed by ");
        if (span_is(killed_by, R"("seccomp")"))
            pos = append_text(out, pos, "the seccomp filter");
        else if (span_is(killed_by, R"("memory")"))
            pos = append_text(out, pos, "its memory bound");
        else
            pos = append_string_interior(out, pos, killed_by);
        ByteSpan call = string_member(body, len, 0, "call");
        if (call.len > 0) {
            pos = append_text(out, pos, " (call ");
            pos = append_string_interior(out, pos, call);
            pos = append_byte(out, pos, ')');
        }
    }
    static constexpr const char* k_streams[] = { "stdout", "stderr" };
    for (const char* stream : k_streams) {
        char key[24];
        append_byte(key, append_text(key, append_text(key, 0, stream), "_truncated"), 0);
        if (flag_member(body, len, key) != 1)
            continue;
        next();
        pos = append_text(out, pos, stream);
        pos = append_text(out, pos, " truncated (");
        append_byte(key, append_text(key, append_text(key, 0, stream), "_bytes"), 0);
        pos = append_decimal(out, pos, integer_member(body, len, key, 0));
        pos = append_text(out, pos, " bytes in all)");
    }
    i64 ignored = json_find_member(body, len, 0, "ignored_fields", 14);
    i64 names = 0;
    for_each_element(body, len, ignored, [&](i64 value) {
        if (body[value] != '"')
            return;
        if (names++ == 0) {
            next();
            pos = append_text(out, pos, "ignored fields: ");
        } else {
            pos = append_text(out, pos, " ");
        }
        pos = append_string_interior(out, pos, { body + value, json_value_end(body, len, value) - value });
    });
    i64 exit_code = integer_member(body, len, "exit_code", 0);
    if (exit_code != 0 || pos > start) {
        next();
        pos = append_text(out, pos, "exit code ");
        pos = append_decimal(out, pos, exit_code);
    }
    return pos > start ? append_text(out, pos, R"("})") : pos;
}

static i64 append_exec_text(char* out, i64 pos, const char* body, i64 len)
{
    pos = append_text(out, pos, R"({"type":"text","text":)");
    ByteSpan stdout_text = string_member(body, len, 0, "stdout");
    pos = stdout_text.len > 0 ? append_bytes(out, pos, stdout_text.ptr, stdout_text.len) : append_text(out, pos, R"("")");
    pos = append_byte(out, pos, '}');
    ByteSpan stderr_text = string_member(body, len, 0, "stderr");
    if (stderr_text.len > 2) {
        pos = append_text(out, pos, R"(,{"type":"text","text":"[stderr]\n)");
        pos = append_string_interior(out, pos, stderr_text);
        pos = append_text(out, pos, R"("})");
    }
    return append_exec_notes(out, pos, body, len);
}

static i64 append_read_text(char* out, i64 pos, const char* body, i64 len)
{
    pos = append_text(out, pos, R"({"type":"text","text":)");
    ByteSpan content = string_member(body, len, 0, "content");
    pos = content.len > 0 ? append_bytes(out, pos, content.ptr, content.len) : append_text(out, pos, R"("")");
    pos = append_byte(out, pos, '}');
    i64 size = integer_member(body, len, "size", 0);
    if (flag_member(body, len, "eof") == 0) {
        i64 offset = integer_member(body, len, "offset", 0);
        i64 bytes = integer_member(body, len, "bytes", 0);
        // The route's own numbers; a file never reaches the largest i64.
        i64 end = bytes > k_i64_max - offset ? k_i64_max : offset + bytes;
        pos = append_text(out, pos, R"(,{"type":"text","text":"read bytes )");
        pos = append_decimal(out, pos, offset);
        pos = append_text(out, pos, " to ");
        pos = append_decimal(out, pos, end);
        pos = append_text(out, pos, " of ");
        pos = append_decimal(out, pos, size);
        pos = append_text(out, pos, R"(; read on with offset )");
        pos = append_decimal(out, pos, end);
        pos = append_text(out, pos, R"("})");
    } else if (flag_member(body, len, "truncated") == 1) {
        pos = append_text(out, pos, R"(,{"type":"text","text":"truncated: the file has )");
        pos = append_decimal(out, pos, size);
        pos = append_text(out, pos, R"( bytes"})");
    }
    if (flag_member(body, len, "lossy") == 1)
        pos = append_text(out, pos, R"(,{"type":"text","text":"bytes that are not UTF-8 were replaced; read with encoding base64 for the exact bytes"})");
    return pos;
}

// One line per entry, a directory's name followed by "/"; each line is shorter than its
// entry in the answer.
static i64 append_list_text(char* out, i64 pos, const char* body, i64 len)
{
    pos = append_text(out, pos, R"({"type":"text","text":")");
    i64 start = pos;
    for_each_element(body, len, json_find_member(body, len, 0, "entries", 7), [&](i64 entry) {
        pos = append_string_interior(out, pos, string_member(body, len, entry, "name"));
        if (span_is(string_member(body, len, entry, "type"), R"("dir")"))
            pos = append_byte(out, pos, '/');
        pos = append_text(out, pos, "\\n");
    });
    if (pos == start)
        pos = append_text(out, pos, "(empty directory)");
    if (flag_member(body, len, "truncated") == 1)
        pos = append_text(out, pos, "(more entries not listed)");
    return append_text(out, pos, R"("})");
}

static i64 append_write_text(char* out, i64 pos, const char* body, i64 len)
{
    pos = append_text(out, pos, R"({"type":"text","text":"wrote )");
    pos = append_decimal(out, pos, integer_member(body, len, "bytes_written", 0));
    pos = append_text(out, pos, " bytes to ");
    pos = append_string_interior(out, pos, string_member(body, len, 0, "path"));
    return append_text(out, pos, R"("})");
}

// ---- the background runs' texts ----------------------------------------------------
// Each is fixed text, numbers and bytes of the answer, and shorter than the members of the
// answer it reads (an entry of the run list has more keys than its line has words).

static i64 append_key_number(char* out, i64 pos, const char* text, i64 number)
{
    pos = append_text(out, pos, text);
    return append_decimal(out, pos, number);
}

static i64 append_start_text(char* out, i64 pos, const char* body, i64 len)
{
    pos = append_key_number(out, pos, R"({"type":"text","text":"started run )", integer_member(body, len, "run_id", 0));
    return append_text(out, pos, R"(; read its output with command_status"})");
}

// How a run that has ended ended: its exit code and what ended it, or why it never started.
static i64 append_run_end(char* out, i64 pos, const char* body, i64 len, i64 object)
{
    ByteSpan error = string_member(body, len, object, "error");
    if (error.len > 0) {
        pos = append_text(out, pos, ": ");
        return append_string_interior(out, pos, error);
    }
    pos = append_key_number(out, pos, " with code ", integer_in(body, len, object, "exit_code", 0));
    if (json_find_member(body, len, object, "timed_out", 9) >= 0)
        pos = append_text(out, pos, ", timed out");
    if (json_find_member(body, len, object, "stopped", 7) >= 0)
        pos = append_text(out, pos, ", stopped");
    ByteSpan killed_by = string_member(body, len, object, "killed_by");
    if (killed_by.len > 0) {
        pos = append_text(out, pos, ", killed by ");
        pos = append_string_interior(out, pos, killed_by);
    }
    return pos;
}

static bool run_exited(const char* body, i64 len, i64 object) { return span_is(string_member(body, len, object, "state"), R"("exited")"); }

// The output from the offset, then the run's state and where to read on.
static i64 append_status_text(char* out, i64 pos, const char* body, i64 len)
{
    pos = append_text(out, pos, R"({"type":"text","text":)");
    ByteSpan output = string_member(body, len, 0, "output");
    pos = output.len > 0 ? append_bytes(out, pos, output.ptr, output.len) : append_text(out, pos, R"("")");
    pos = append_key_number(out, pos, R"(},{"type":"text","text":"run )", integer_member(body, len, "run_id", 0));
    bool exited = run_exited(body, len, 0);
    pos = append_text(out, pos, exited ? " exited" : " running");
    if (exited)
        pos = append_run_end(out, pos, body, len, 0);
    i64 next = integer_member(body, len, "next_offset", 0);
    pos = append_key_number(out, pos, "; output bytes ", integer_member(body, len, "offset", 0));
    pos = append_key_number(out, pos, " to ", next);
    pos = append_key_number(out, pos, " of ", integer_member(body, len, "output_bytes", 0));
    if (i64 dropped = integer_member(body, len, "dropped", 0); dropped > 0) {
        pos = append_key_number(out, pos, " (the ring no longer held the ", dropped);
        pos = append_text(out, pos, " bytes before)");
    }
    if (!exited || next < integer_member(body, len, "output_bytes", 0))
        pos = append_key_number(out, pos, "; read on with offset ", next);
    if (flag_member(body, len, "lossy") == 1)
        pos = append_text(out, pos, "; bytes that are not UTF-8 are shown as U+FFFD");
    return append_text(out, pos, R"("})");
}

static i64 append_stdin_text(char* out, i64 pos, const char* body, i64 len)
{
    pos = append_key_number(out, pos, R"({"type":"text","text":"wrote )", integer_member(body, len, "written", 0));
    pos = append_key_number(out, pos, " of ", integer_member(body, len, "bytes", 0));
    pos = append_text(out, pos, flag_member(body, len, "stdin_open") == 1 ? " bytes; stdin open" : " bytes; stdin closed");
    return append_text(out, pos, R"("})");
}

static i64 append_stop_text(char* out, i64 pos, const char* body, i64 len)
{
    bool stopped = flag_member(body, len, "stopped") == 1;
    pos = append_key_number(out, pos, stopped ? R"({"type":"text","text":"stopped run )" : R"({"type":"text","text":"run )",
        integer_member(body, len, "run_id", 0));
    return append_text(out, pos, stopped ? R"("})" : R"( had ended already"})");
}

// One line per run: its id, its state and how it ended, and its command as the list shows it.
static i64 append_runs_text(char* out, i64 pos, const char* body, i64 len)
{
    pos = append_text(out, pos, R"({"type":"text","text":")");
    i64 start = pos;
    for_each_element(body, len, json_find_member(body, len, 0, "runs", 4), [&](i64 run) {
        pos = append_key_number(out, pos, "run ", integer_in(body, len, run, "run_id", 0));
        bool exited = run_exited(body, len, run);
        pos = append_text(out, pos, exited ? " exited" : " running");
        if (exited)
            pos = append_run_end(out, pos, body, len, run);
        pos = append_text(out, pos, ": ");
        pos = append_string_interior(out, pos, string_member(body, len, run, "cmd"));
        pos = append_text(out, pos, "\\n");
    });
    if (pos == start)
        pos = append_text(out, pos, "(no runs)");
    return append_text(out, pos, R"("})");
}

// The text content of a successful tool: the command's output and how it ended, what was
// written, the file's content, the directory's names, or the background run's news.
static i64 append_success_text(char* out, i64 pos, McpTool tool, const char* body, i64 len)
{
    switch (tool) {
    case k_tool_execute_command: return append_exec_text(out, pos, body, len);
    case k_tool_write_file: return append_write_text(out, pos, body, len);
    case k_tool_read_file: return append_read_text(out, pos, body, len);
    case k_tool_list_files: return append_list_text(out, pos, body, len);
    case k_tool_start_command: return append_start_text(out, pos, body, len);
    case k_tool_command_status: return append_status_text(out, pos, body, len);
    case k_tool_write_command_stdin: return append_stdin_text(out, pos, body, len);
    case k_tool_stop_command: return append_stop_text(out, pos, body, len);
    case k_tool_list_commands: return append_runs_text(out, pos, body, len);
    }
    return pos;
}

// The route's refusal as one line: its message, what matched and in which simple command,
// or the budget's numbers.
static i64 append_refusal_text(char* out, i64 pos, i64 status, const char* body, i64 len, i64 retry_after_s)
{
    pos = append_text(out, pos, R"({"type":"text","text":")");
    ByteSpan error = string_member(body, len, 0, "error");
    if (error.len == 0) {
        pos = append_text(out, pos, "the sandbox answered HTTP ");
        pos = append_decimal(out, pos, status);
        return append_text(out, pos, R"("})");
    }
    pos = append_string_interior(out, pos, error);
    ByteSpan rule = string_member(body, len, 0, "rule");
    if (rule.len > 0) {
        pos = append_text(out, pos, " (matched: ");
        pos = append_string_interior(out, pos, rule);
        pos = append_byte(out, pos, ')');
    }
    ByteSpan command = string_member(body, len, 0, "command");
    if (command.len > 0) {
        pos = append_text(out, pos, " (in: ");
        pos = append_string_interior(out, pos, command);
        pos = append_byte(out, pos, ')');
    }
    i64 budget = integer_member(body, len, "budget", -1);
    if (budget >= 0) {
        pos = append_text(out, pos, " (");
        pos = append_decimal(out, pos, integer_member(body, len, "tokens_used", 0));
        pos = append_text(out, pos, " tokens used of ");
        pos = append_decimal(out, pos, budget);
        pos = append_byte(out, pos, ')');
    }
    if (retry_after_s > 0) {
        pos = append_text(out, pos, " (try again in ");
        pos = append_decimal(out, pos, retry_after_s);
        pos = append_text(out, pos, " s)");
    }
    return append_text(out, pos, R"("})");
}

// The route's answer as the tool's result, built once, envelope and all; a success also
// carries the route's whole answer as structuredContent. A call's record for cancellation
// ends here: the call has its answer.
static void carry_tool_answer(int conn, i64 status, const char* body, i64 len, i64 retry_after_s, void* context)
{
    const ToolCall* call = (const ToolCall*)context;
    if (call->serial != 0)
        mcp_call_forget(conn, call->serial);
    // 202: start_command's run has started.
    bool ok = (status == 200 || status == 202) && len > 0 && body[0] == '{';
    char* out = (char*)heap_alloc(mcp_tool_answer_size(len));
    if (!out)
        return send_memory_exhausted(conn);
    i64 pos = begin_envelope(out, call->id);
    pos = append_text(out, pos, R"(,"result":{"content":[)");
    if (ok) {
        pos = append_success_text(out, pos, call->tool, body, len);
        pos = append_text(out, pos, R"(],"structuredContent":)");
        pos = append_bytes(out, pos, body, len);
        pos = append_text(out, pos, R"(,"isError":false})");
    } else {
        pos = append_refusal_text(out, pos, status, body, len, retry_after_s);
        pos = append_text(out, pos, R"(],"isError":true})");
    }
    pos = append_byte(out, pos, '}');
    send_rpc(conn, 200, "OK", out, pos);
}

i64 mcp_tool_answer_size(i64 route_answer_len) { return k_fixed_answer_size + 2 * route_answer_len; }

i64 mcp_call_memory(i64 request_len)
{
    return heap_block(32) + heap_block(sizeof(ToolCall)) + heap_block(k_id_max + 1) + heap_block(request_len + k_route_request_extra)
        + heap_block(k_fixed_answer_size) + mcp_progress_memory();
}

static const ToolRow* find_tool(ByteSpan name)
{
    for (const ToolRow& row : k_tools)
        if (span_is(name, row.name))
            return &row;
    return nullptr;
}

static bool tool_takes(const ToolRow& tool, ByteSpan name)
{
    for (i64 i = 0; i < tool.argument_count; i++)
        if (span_is(name, tool.arguments[i].name))
            return true;
    return false;
}

// The longest argument name an unknown-argument message quotes.
static constexpr i64 k_argument_name_max = 63;

// The first member of the arguments object that the tool does not take, its name into out
// (k_argument_name_max + 1 bytes) and its length returned; -1 when every member is known.
// A typo (timeout for timeout_ms) must not pass unnoticed as a default. The object was
// judged whole by the message's framing, so its members are read without more checks.
static i64 unknown_argument(const char* json, i64 len, i64 args, const ToolRow& tool, char* out)
{
    i64 pos = json_skip_blanks(json, len, args + 1);
    while (pos < len && json[pos] == '"') {
        JsonString key = json_decode_string(json, len, pos, out, k_argument_name_max);
        if (key.end < 0)
            return -1;
        if (key.decoded != key.stored || !tool_takes(tool, { out, key.stored }))
            return key.stored;
        pos = json_skip_blanks(json, len, key.end);
        if (pos >= len || json[pos] != ':')
            return -1;
        pos = json_value_end(json, len, pos + 1);
        if (pos < 0)
            return -1;
        pos = json_skip_blanks(json, len, pos);
        if (pos < len && json[pos] == ',')
            pos = json_skip_blanks(json, len, pos + 1);
    }
    return -1;
}

// The raw JSON text of member key of args, or len 0 when absent.
static ByteSpan raw_member(const char* json, i64 len, i64 args, const char* key)
{
    i64 value = json_find_member(json, len, args, key, text_length(key));
    i64 end = value < 0 ? -1 : json_value_end(json, len, value);
    return end < 0 ? ByteSpan { nullptr, 0 } : ByteSpan { json + value, end - value };
}

// A whole number as the request line may carry it: 1 to 18 digits (the run ids' and the
// offsets' range), nothing else.
static bool whole_number(ByteSpan value)
{
    if (value.len < 1 || value.len > 18)
        return false;
    for (i64 i = 0; i < value.len; i++)
        if (value.ptr[i] < '0' || value.ptr[i] > '9')
            return false;
    return true;
}

// The message for the first argument the endpoint refuses, into out (k_argument_message_size
// bytes), or nullptr: a required one missing, a text that is not a string, a path or query
// number that is not a whole number. Every other value is the route's to judge.
static constexpr i64 k_argument_message_size = 96;
static const char* argument_error(const char* json, i64 len, i64 args, const ToolRow& tool, char* out)
{
    for (i64 i = 0; i < tool.argument_count; i++) {
        const ToolArgument& argument = tool.arguments[i];
        ByteSpan value = raw_member(json, len, args, argument.name);
        if ((value.len == 0 && !argument.required) || argument.kind == k_any)
            continue;
        bool fits = argument.kind == k_text ? value.len > 0 && value.ptr[0] == '"' : whole_number(value);
        if (fits)
            continue;
        i64 pos = append_text(out, 0, argument.name);
        pos = append_text(out, pos, argument.kind == k_text ? " must be a string" : " must be a whole number of 0 or more");
        append_byte(out, pos, 0);
        return out;
    }
    return nullptr;
}

static constexpr char k_default_list_path[] = R"("/tmp")";

// The route's request line target and body: each argument the call gives, as its client
// wrote it, where its route takes it (list_files' path defaults to /tmp); the route judges
// the values as it judges any request's.
static void route_parts(const char* json, i64 len, i64 args, const ToolRow& tool, RouteParts* parts)
{
    parts->target_count = 0;
    parts->body_count = 0;
    auto target = [&](ByteSpan span) { parts->target[parts->target_count++] = span; };
    auto member = [&](const char* key, ByteSpan value) {
        ByteSpan separator { parts->body_count == 0 ? "{" : ",", 1 };
        parts->body[parts->body_count++] = separator;
        parts->body[parts->body_count++] = { key, text_length(key) };
        if (value.ptr)
            parts->body[parts->body_count++] = value;
    };
    target({ tool.path, text_length(tool.path) });
    ByteSpan query[2] {};
    for (i64 i = 0; i < tool.argument_count; i++) {
        const ToolArgument& argument = tool.arguments[i];
        ByteSpan value = raw_member(json, len, args, argument.name);
        if (value.len == 0 && tool.tool == k_tool_list_files && argument.place == k_in_body)
            value = { k_default_list_path, sizeof(k_default_list_path) - 1 };
        if (value.len == 0 || argument.place == k_in_header)
            continue;
        if (argument.place == k_in_path) {
            target(value);
        } else if (argument.place == k_in_query) {
            query[0] = { argument.member, text_length(argument.member) };
            query[1] = value;
        } else {
            member(argument.member, value);
        }
    }
    target({ tool.path_end, text_length(tool.path_end) });
    target(query[0]);
    target(query[1]);
    if (tool.fixed_members == nullptr)
        return;
    if (tool.fixed_members[0] != 0)
        member(tool.fixed_members, { nullptr, 0 });
    if (parts->body_count == 0)
        parts->body[parts->body_count++] = { "{", 1 };
    parts->body[parts->body_count++] = { "}", 1 };
}

// Who sent the message: the agent of its agent token, else the name its X-Agent header gives.
static void message_caller(const char* req, i64 req_len, McpCaller* caller)
{
    caller->bound = request_agent_bound();
    caller->len = request_agent_name(req, req_len, caller->name);
}

static bool call_live(int conn, u64 serial) { return connection_serial(conn) == serial; }

// Whether text holds a control byte (a raw line feed in a string), which would end an
// event stream's data line early.
static bool has_control_byte(ByteSpan text)
{
    for (i64 i = 0; i < text.len; i++)
        if ((u8)text.ptr[i] < 0x20)
            return true;
    return false;
}

// params._meta.progressToken's JSON text: ptr nullptr when absent, len -1 when it is not a
// string or a number of at most k_progress_token_max bytes.
static ByteSpan progress_token(const char* json, i64 len, i64 params)
{
    i64 meta = params < 0 ? -1 : json_find_member(json, len, params, "_meta", 5);
    i64 value = meta < 0 || json[meta] != '{' ? -1 : json_find_member(json, len, meta, "progressToken", 13);
    if (value < 0)
        return { nullptr, 0 };
    i64 end = json_value_end(json, len, value);
    char first = json[value];
    bool usable = end > value && end - value <= k_progress_token_max && (first == '"' || first == '-' || (first >= '0' && first <= '9'))
        && !has_control_byte({ json + value, end - value });
    return { json + value, usable ? end - value : -1 };
}

static bool accepts_event_stream(const char* req, i64 req_len)
{
    static constexpr char k_event_stream[] = "text/event-stream";
    ByteSpan accept = header_value(req, req_len, "Accept");
    return accept.ptr != nullptr && find_bytes(accept.ptr, accept.len, 0, k_event_stream, sizeof(k_event_stream) - 1) >= 0;
}

// A command the route has ordered goes on after the route returns: the call is recorded for
// a cancellation by its caller, and a call that asked for progress (and takes an event
// stream) gets it while the command runs.
static void follow_run(int conn, const char* req, i64 req_len, ToolCall* call, ByteSpan token)
{
    if (call->tool != k_tool_execute_command || !sandbox_has_order(conn))
        return;
    McpCaller caller {};
    message_caller(req, req_len, &caller);
    u64 serial = connection_serial(conn);
    if (serial != 0 && mcp_call_record(conn, serial, caller, call->id, call_live))
        call->serial = serial;
    // An id that holds a raw control byte is answered as it came, in plain JSON only.
    if (token.ptr != nullptr && accepts_event_stream(req, req_len) && !has_control_byte(call->id))
        mcp_progress_open(conn, token);
}

static void call_tool(int conn, const char* req, i64 req_len, const char* json, i64 len, i64 params, ByteSpan id, RouteHandler route)
{
    char name_text[32];
    i64 name_value = params < 0 ? -1 : json_find_member(json, len, params, "name", 4);
    JsonString name = name_value < 0 ? JsonString { -1, 0, 0 } : json_decode_string(json, len, name_value, name_text, 31);
    if (name.end < 0)
        return send_rpc_error(conn, 200, "OK", id, k_invalid_params, "tools/call needs the tool's name");
    const ToolRow* tool = name.decoded == name.stored ? find_tool({ name_text, name.stored }) : nullptr;
    if (tool == nullptr)
        return send_rpc_error(conn, 200, "OK", id, k_invalid_params, "unknown tool");
    ByteSpan token = progress_token(json, len, params);
    if (token.len < 0)
        return send_rpc_error(conn, 200, "OK", id, k_invalid_params, "progressToken must be a string or a number of at most 256 bytes");
    i64 args = json_find_member(json, len, params, "arguments", 9);
    if (args < 0 || json[args] != '{')
        return send_tool_error(conn, id, "the tool's arguments must be an object");
    char unknown[k_argument_name_max + 1];
    i64 unknown_len = unknown_argument(json, len, args, *tool, unknown);
    if (unknown_len >= 0) {
        char message[32 + k_argument_name_max + 1];
        append_byte(message, append_bytes(message, append_text(message, 0, "unknown argument: "), unknown, unknown_len), 0);
        return send_tool_error(conn, id, message);
    }
    char refused[k_argument_message_size];
    if (const char* message = argument_error(json, len, args, *tool, refused))
        return send_tool_error(conn, id, message);
    char* agent = (char*)heap_alloc(32);
    ToolCall* call = (ToolCall*)heap_alloc(sizeof(ToolCall));
    char* id_copy = (char*)heap_alloc((u64)id.len + 1);
    // The arguments and the Authorization value both come from the request itself.
    char* route_req = (char*)heap_alloc((u64)(req_len + k_route_request_extra));
    if (!agent || !call || !id_copy || !route_req)
        return send_memory_exhausted(conn);
    i64 agent_len = tool_agent(json, len, args, req, req_len, agent);
    if (agent_len < 0)
        return send_tool_error(conn, id, "agent must be printable text of at most 31 bytes");
    RouteParts parts {};
    route_parts(json, len, args, *tool, &parts);
    copy_bytes(id_copy, id.ptr, id.len);
    *call = { tool->tool, { id_copy, id.len }, 0 };
    i64 route_len = build_route_request(route_req, tool->method, header_value(req, req_len, "Authorization"), { agent, agent_len }, parts);
    if (!carry_next_answer(conn, { carry_tool_answer, call }))
        return send_rpc_error(conn, 503, "Service Unavailable", id, k_invalid_request, "too many tool calls in progress");
    route(conn, route_req, route_len);
    follow_run(conn, req, req_len, call, token);
}

// notifications/cancelled: the caller's call with params.requestId ends, its run killed with
// its whole process tree (audited CANCELLED, as when a client leaves), and its connection
// closes without a result. An id the caller has no call in flight for changes nothing, as
// the notification may cross the call's answer.
static void cancel_call(const char* req, i64 req_len, const char* json, i64 len)
{
    i64 params = json_find_member(json, len, 0, "params", 6);
    i64 value = params < 0 || json[params] != '{' ? -1 : json_find_member(json, len, params, "requestId", 9);
    i64 end = value < 0 ? -1 : json_value_end(json, len, value);
    if (end < 0)
        return;
    McpCaller caller {};
    message_caller(req, req_len, &caller);
    int conn = mcp_call_take(caller, { json + value, end - value }, call_live);
    if (conn >= 0 && sandbox_cancel(conn))
        connection_abandon(conn);
}

// ---- the message ------------------------------------------------------------------

static bool method_is(const char* json, i64 len, i64 method, const char* name, char* scratch)
{
    JsonString text = json_decode_string(json, len, method, scratch, 63);
    return text.end >= 0 && text.decoded == text.stored && span_is({ scratch, text.stored }, name);
}

// The raw id of a request: a string or a number. ptr nullptr when absent; len -1 when
// present but of another kind.
static ByteSpan request_id(const char* json, i64 len)
{
    i64 value = json_find_member(json, len, 0, "id", 2);
    if (value < 0)
        return { nullptr, 0 };
    i64 end = json_value_end(json, len, value);
    char first = json[value];
    bool usable = end > value && end - value <= k_id_max && (first == '"' || first == '-' || (first >= '0' && first <= '9'));
    return usable ? ByteSpan { json + value, end - value } : ByteSpan { json + value, -1 };
}

static void answer_accepted(int conn) { send_response(conn, 202, "Accepted", "application/json", "", 0); }

void handle_mcp(int conn, const char* req, i64 req_len, RouteHandler route)
{
    ByteSpan none { nullptr, 0 };
    ByteSpan origin = header_value(req, req_len, "Origin");
    // A page on another site must not reach the sandbox through the operator's browser.
    if (origin.ptr != nullptr && !origin_matches_host(origin, header_value(req, req_len, "Host")))
        return send_rpc_error(conn, 403, "Forbidden", none, k_invalid_request, "Origin not allowed");
    ByteSpan version = header_value(req, req_len, "MCP-Protocol-Version");
    if (version.ptr != nullptr && !mcp_version_acceptable(version))
        return send_rpc_error(conn, 400, "Bad Request", none, k_invalid_request, "unsupported MCP-Protocol-Version");
    i64 body = find_body(req, req_len);
    const char* json = req + (body < 0 ? req_len : body);
    i64 len = body < 0 ? 0 : req_len - body;
    i64 start = json_skip_blanks(json, len, 0);
    i64 end = start < len ? json_value_end(json, len, start) : -1;
    if (end < 0 || json_skip_blanks(json, len, end) != len)
        return send_rpc_error(conn, 400, "Bad Request", none, k_parse_error, "parse error: the body is not one JSON value");
    if (json[start] != '{')
        return send_rpc_error(
            conn, 400, "Bad Request", none, k_invalid_request, "one JSON-RPC message per request; batches are not supported");
    json += start;
    len = end - start;
    ByteSpan id = request_id(json, len);
    char scratch[64];
    i64 jsonrpc = json_find_member(json, len, 0, "jsonrpc", 7);
    i64 method = json_find_member(json, len, 0, "method", 6);
    if (jsonrpc < 0 || !method_is(json, len, jsonrpc, "2.0", scratch) || id.len < 0)
        return send_rpc_error(conn, 400, "Bad Request", id.len > 0 ? id : none, k_invalid_request, "not a JSON-RPC 2.0 message");
    if (id.ptr == nullptr && method >= 0 && method_is(json, len, method, "notifications/cancelled", scratch))
        cancel_call(req, req_len, json, len);
    // A notification, or the client's answer to a request of ours: nothing to answer.
    if (id.ptr == nullptr || method < 0)
        return answer_accepted(conn);
    i64 params = json_find_member(json, len, 0, "params", 6);
    if (params >= 0 && json[params] != '{')
        params = -1;
    if (method_is(json, len, method, "initialize", scratch))
        return answer_initialize(conn, json, len, params, id);
    if (method_is(json, len, method, "ping", scratch))
        return send_rpc_result(conn, id, "{}", 2);
    if (method_is(json, len, method, "tools/list", scratch))
        return send_rpc_result(conn, id, k_tools_list, sizeof(k_tools_list) - 1);
    if (method_is(json, len, method, "tools/call", scratch))
        return call_tool(conn, req, req_len, json, len, params, id, route);
    send_rpc_error(conn, 200, "OK", id, k_method_not_found, "method not found");
}

void handle_mcp_other_method(int conn)
{
    send_json_error_allow(conn, 405, reason_phrase(405), "use POST for MCP messages; this server offers no event stream", "POST");
}
