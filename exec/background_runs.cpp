// The background runs' records, their output rings and the routes over them. The records
// and rings are made on the first background run: twice max_background_runs records (the
// running ones and the finished ones kept), each with a copy of its command and a ring of
// max_output_bytes reserved outside the heap (memory only as output fills it). A run's
// record is its order's context; the runner tells it each piece of output and its end.
// Readers of a run's events are connections streaming from its ring at their own offsets:
// new output wakes every stream, and each asks its run's ring whether it has more.
#include "exec/background_runs.h"
#include "agents/registry.h"
#include "core/activity.h"
#include "core/audit_log.h"
#include "core/http_response.h"
#include "core/http_status.h"
#include "core/state.h"
#include "exec/exec_endpoint.h"
#include "runtime/error_text.h"
#include "runtime/fields.h"
#include "runtime/heap.h"
#include "runtime/io.h"
#include "runtime/json_reader.h"
#include "runtime/query.h"
#include "runtime/syscall.h"
#include "runtime/text.h"

// ---- the output ring (pure) -----------------------------------------------------------

void output_ring_append(OutputRing* ring, const char* bytes, i64 len)
{
    // Only the last capacity bytes of a longer piece can be kept.
    if (len > ring->capacity) {
        ring->written += len - ring->capacity;
        bytes += len - ring->capacity;
        len = ring->capacity;
    }
    for (i64 i = 0; i < len;) {
        i64 at = ring->written % ring->capacity;
        i64 part = ring->capacity - at < len - i ? ring->capacity - at : len - i;
        copy_bytes(ring->bytes + at, bytes + i, part);
        ring->written += part;
        i += part;
    }
}

OutputSlice output_ring_read(const OutputRing* ring, i64 from, i64 max, bool final, char* out)
{
    i64 oldest = ring->written > ring->capacity ? ring->written - ring->capacity : 0;
    i64 start = from < oldest ? oldest : from > ring->written ? ring->written : from;
    i64 len = ring->written - start < max ? ring->written - start : max;
    for (i64 i = 0; i < len;) {
        i64 at = (start + i) % ring->capacity;
        i64 part = ring->capacity - at < len - i ? ring->capacity - at : len - i;
        copy_bytes(out + i, ring->bytes + at, part);
        i += part;
    }
    // A sequence cut by the end of what was read waits for its rest, unless nothing more
    // can come after it.
    bool at_end = start + len == ring->written;
    if (!(final && at_end))
        len -= utf8_cut_tail(out, len);
    return { start, len, start > from ? start - from : 0 };
}

// ---- the records ------------------------------------------------------------------------

enum RunPhase : u8 { k_phase_free, k_phase_running, k_phase_exited };

struct BackgroundRun {
    RunPhase phase;
    i64 id;
    // The runner's handle while it runs.
    i64 handle;
    i64 agent;
    char agent_name[k_agent_name_max + 1];
    i64 agent_name_len;
    char* cmd;
    i64 cmd_len;
    OutputRing output;
    bool input_open;
    bool stopped;
    i64 started_s;
    i64 start_ms;
    i64 end_ms;
    // How it ended: the runner's result, less the streams (the ring holds the output).
    bool started;
    i64 exit_code;
    i64 duration_ms;
    bool timed_out;
    RunVerdict verdict;
    const char* killed_call;
    const char* failed_step;
    i64 failed_error;
};

struct BackgroundTable {
    BackgroundRun* runs;
    i64 count;
    i64 next_id;
    bool made;
};
static constinit BackgroundTable table {};

static bool make_table()
{
    if (table.made)
        return table.runs != nullptr;
    table.made = true;
    i64 count = 2 * state.max_background_runs;
    i64 ring_size = state.max_output_bytes;
    BackgroundRun* runs = (BackgroundRun*)heap_alloc_lasting((u64)(count * (i64)sizeof(BackgroundRun)));
    void* rings = sys_mmap(nullptr, count * ring_size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    bool mapped = (u64)rings < (u64)-4096;
    if (!runs || !mapped)
        return false;
    for (i64 i = 0; i < count; i++) {
        runs[i].cmd = (char*)heap_alloc_lasting((u64)(state.max_cmd_bytes + 1));
        if (!runs[i].cmd)
            return false;
        runs[i].output = { (char*)rings + i * ring_size, ring_size, 0 };
    }
    table = { runs, count, 1, true };
    return true;
}

// Finished runs older than k_background_keep_ms leave.
static void forget_expired(i64 now_ms)
{
    for (i64 i = 0; i < table.count; i++) {
        BackgroundRun& run = table.runs[i];
        if (run.phase == k_phase_exited && now_ms - run.end_ms >= k_background_keep_ms)
            run.phase = k_phase_free;
    }
}

// A free record, else the one of the run that ended first; nullptr when all are running.
static BackgroundRun* record_for_new()
{
    BackgroundRun* oldest = nullptr;
    for (i64 i = 0; i < table.count; i++) {
        BackgroundRun* run = &table.runs[i];
        if (run->phase == k_phase_free)
            return run;
        if (run->phase == k_phase_exited && (!oldest || run->end_ms < oldest->end_ms))
            oldest = run;
    }
    return oldest;
}

static i64 running_of_agent(i64 agent)
{
    i64 count = 0;
    for (i64 i = 0; i < table.count; i++)
        count += table.runs[i].phase == k_phase_running && table.runs[i].agent == agent ? 1 : 0;
    return count;
}

static void on_output(void* sink, i64, const char* bytes, i64 len)
{
    BackgroundRun* run = (BackgroundRun*)sink;
    output_ring_append(&run->output, bytes, len);
    connection_stream_wake_all();
}

static void on_end(const RunOrder* order, const RunResult* result)
{
    BackgroundRun* run = (BackgroundRun*)order->context;
    run->phase = k_phase_exited;
    run->handle = -1;
    run->input_open = false;
    run->end_ms = monotonic_ms();
    run->started = result->started;
    run->exit_code = result->exit_code;
    run->duration_ms = result->duration_ms;
    run->timed_out = result->timed_out;
    run->verdict = result->verdict;
    run->killed_call = result->killed_call;
    run->failed_step = result->failed_step;
    run->failed_error = result->failed_error;
    // The ring's bytes are what the run kept, as a request run's answer is.
    if (result->started) {
        i64 kept = run->output.written < run->output.capacity ? run->output.written : run->output.capacity;
        AgentRecord* record = agent_record(run->agent);
        record->execs++;
        record->bytes += (u32)kept;
        state.bytes_captured += kept;
    }
    connection_stream_wake_all();
}

// ---- who asks -----------------------------------------------------------------------------

// The admin's credential without an X-Agent header sees every run; any other request sees
// the runs of the agent it acts for.
struct Viewer {
    bool all;
    char name[k_agent_name_max + 1];
    i64 len;
};

static void identify_viewer(const char* req, i64 req_len, Viewer* viewer)
{
    ByteSpan header {};
    viewer->all = !request_agent_bound() && !find_header(req, req_len, "X-Agent", &header);
    viewer->len = request_agent_name(req, req_len, viewer->name);
}

static bool visible(const BackgroundRun& run, const Viewer& viewer)
{
    if (run.phase == k_phase_free)
        return false;
    return viewer.all || (run.agent_name_len == viewer.len && bytes_equal(run.agent_name, viewer.name, viewer.len));
}

// The run named by the path's segment (decimal digits) that the viewer may see.
static BackgroundRun* find_run(ByteSpan id, const Viewer& viewer)
{
    if (!table.runs || id.len < 1 || id.len > 18)
        return nullptr;
    i64 number = 0;
    for (i64 i = 0; i < id.len; i++) {
        if (id.ptr[i] < '0' || id.ptr[i] > '9')
            return nullptr;
        number = number * 10 + (id.ptr[i] - '0');
    }
    forget_expired(monotonic_ms());
    for (i64 i = 0; i < table.count; i++)
        if (table.runs[i].id == number && visible(table.runs[i], viewer))
            return &table.runs[i];
    return nullptr;
}

static constexpr char k_no_such_run[] = "no such run";

// ---- the status -------------------------------------------------------------------------

// The status without output: fixed text, seven decimals, the agent and the command shown
// escaped, and the start error's message.
constexpr i64 k_status_size = 512 + 7 * k_decimal_max + k_json_string_max(k_agent_name_max) + k_json_string_max(k_background_cmd_shown) +
    k_json_string_max(k_not_started_message_max);

static i64 append_key_decimal(char* out, i64 pos, const char* key, i64 value)
{
    pos = append_text(out, pos, key);
    return append_decimal(out, pos, value);
}

static i64 append_end(char* out, i64 pos, const BackgroundRun& run)
{
    if (!run.started) {
        char message[k_not_started_message_max];
        i64 len = append_text(message, 0, "the command could not be started: ");
        len = append_bytes(message, len, run.failed_step, text_length_max(run.failed_step, k_not_started_step_max));
        len = append_text(message, len, ": ");
        len = append_error_text(message, len, run.failed_error);
        pos = append_text(out, pos, R"(,"error":)");
        return append_json_string(out, pos, message, len);
    }
    pos = append_key_decimal(out, pos, R"(,"exit_code":)", run.exit_code);
    if (run.timed_out)
        pos = append_text(out, pos, R"(,"timed_out":true)");
    if (run.verdict == k_run_memory)
        pos = append_text(out, pos, R"(,"killed_by":"memory")");
    if (run.verdict == k_run_seccomp)
        pos = append_text(out, pos, R"(,"killed_by":"seccomp")");
    return pos;
}

// {"ok":true,"run_id":..., ...} without its closing brace.
static i64 build_status(char* out, const BackgroundRun& run)
{
    i64 shown = run.cmd_len < k_background_cmd_shown ? run.cmd_len : k_background_cmd_shown;
    shown -= shown < run.cmd_len ? utf8_cut_tail(run.cmd, shown) : 0;
    i64 pos = append_key_decimal(out, 0, R"({"ok":true,"run_id":)", run.id);
    pos = append_text(out, pos, R"(,"agent":)");
    pos = append_json_string(out, pos, run.agent_name, run.agent_name_len);
    pos = append_text(out, pos, R"(,"cmd":)");
    pos = append_json_string(out, pos, run.cmd, shown);
    pos = append_key_decimal(out, pos, R"(,"cmd_bytes":)", run.cmd_len);
    pos = append_text(out, pos, R"(,"kind":"background")");
    pos = append_text(out, pos, run.phase == k_phase_running ? R"(,"state":"running")" : R"(,"state":"exited")");
    pos = append_key_decimal(out, pos, R"(,"started":)", run.started_s);
    i64 duration = run.phase == k_phase_running ? monotonic_ms() - run.start_ms : run.duration_ms;
    pos = append_key_decimal(out, pos, R"(,"duration_ms":)", duration);
    if (run.phase == k_phase_exited)
        pos = append_end(out, pos, run);
    if (run.stopped)
        pos = append_text(out, pos, R"(,"stopped":true)");
    pos = append_text(out, pos, run.input_open ? R"(,"stdin_open":true)" : R"(,"stdin_open":false)");
    return append_key_decimal(out, pos, R"(,"output_bytes":)", run.output.written);
}

// ---- starting ---------------------------------------------------------------------------

static void refuse(int conn, i64 status, const char* message) { send_json_error(conn, status, reason_phrase(status), message); }

// A start refused: answered, and false for the caller.
static bool refuse_start(int conn, i64 status, const char* message)
{
    refuse(conn, status, message);
    return false;
}

static bool refuse_full(int conn, i64 agent)
{
    note_refusal(agent_name(agent), k_refused_background_full);
    return refuse_start(conn, 503, "every background run slot is in use");
}

static void answer_started(int conn, const BackgroundRun& run)
{
    char body[k_background_started_size];
    i64 pos = append_key_decimal(body, 0, R"({"ok":true,"run_id":)", run.id);
    pos = append_byte(body, pos, '}');
    char* copy = (char*)heap_alloc((u64)pos);
    if (!copy)
        return send_memory_exhausted(conn);
    copy_bytes(copy, body, pos);
    send_json(conn, 202, reason_phrase(202), copy, pos);
}

static BackgroundRun* fill_record(BackgroundRun* run, i64 agent, ByteSpan cmd)
{
    run->phase = k_phase_running;
    run->id = sandbox_new_run_id();
    run->agent = agent;
    ByteSpan name = agent_name(agent);
    run->agent_name_len = name.len < k_agent_name_max ? name.len : k_agent_name_max;
    copy_bytes(run->agent_name, name.ptr, run->agent_name_len);
    copy_bytes(run->cmd, cmd.ptr, cmd.len);
    run->cmd[cmd.len] = 0;
    run->cmd_len = cmd.len;
    run->output.written = 0;
    run->input_open = true;
    run->stopped = false;
    run->started = true;
    run->started_s = now_seconds();
    run->start_ms = monotonic_ms();
    return run;
}

bool start_background_run(int conn, i64 agent, ByteSpan cmd, const ExecFields& fields, const RunLimits& limits)
{
    if (state.max_background_runs <= 0)
        return refuse_start(conn, 503, "background runs are off (max_background_runs=0)");
    if (!runs_may_overlap())
        return refuse_start(conn, 503, "background runs need run namespaces, which this host does not give");
    if (!make_table())
        return refuse_start(conn, 503, "background runs cannot have their memory");
    forget_expired(monotonic_ms());
    if (running_of_agent(agent) >= state.max_background_per_agent) {
        audit_write(agent_name(agent), "RATELIMIT", cmd, 0, 0, "BACKGROUND");
        note_refusal(agent_name(agent), k_refused_background);
        return refuse_start(conn, 429, "too many background runs for this agent");
    }
    // Only a free slot of the pool takes a record: one that ended and is still kept (another
    // agent's, perhaps) is given up only for a run that will start.
    BackgroundRun* run = sandbox_background_room() ? record_for_new() : nullptr;
    if (!run) {
        audit_write(agent_name(agent), "RATELIMIT", cmd, 0, 0, "BACKGROUND_FULL");
        return refuse_full(conn, agent);
    }
    fill_record(run, agent, cmd);
    RunOptions options { true, { nullptr, 0 }, fields.env, fields.env_count, fields.cwd, fields.timeout_ms, true };
    // A background run lives up to max_background_seconds, so its processor time may too;
    // every other limit is its profile's.
    RunLimits background = limits;
    if (background.max_cpu_sec < state.max_background_seconds)
        background.max_cpu_sec = state.max_background_seconds;
    RunOrder order { -1, agent, agent_name(agent), run->cmd, run->cmd_len, nullptr, nullptr, 0, options, background, run, on_end, on_output, run };
    audit_write(agent_name(agent), "BACKGROUND", cmd, 0, 0, "STARTED");
    run->handle = sandbox_start_background(&order);
    if (run->handle < 0 && run->phase == k_phase_running) {
        run->phase = k_phase_free;
        return refuse_full(conn, agent);
    }
    answer_started(conn, *run);
    return true;
}

// ---- the routes -------------------------------------------------------------------------

// A request run's entry: fixed text, four decimals, the agent and the command shown escaped.
constexpr i64 k_request_entry_size = 160 + 4 * k_decimal_max + k_json_string_max(k_agent_name_max) + k_json_string_max(k_background_cmd_shown);

static i64 list_size()
{
    return 64 + 2 * state.max_background_runs * (k_status_size + 2) + sandbox_request_run_capacity() * (k_request_entry_size + 1);
}

static bool request_visible(const RequestRunView& run, const Viewer& viewer)
{
    return viewer.all || (run.agent_name.len == viewer.len && bytes_equal(run.agent_name.ptr, viewer.name, viewer.len));
}

// {"run_id":..,"agent":..,"cmd":..,"cmd_bytes":..,"kind":"request","state":..,"duration_ms":..,"output_bytes":..}
static i64 append_request_entry(char* out, i64 pos, const RequestRunView& run)
{
    i64 shown = run.cmd.len < k_background_cmd_shown ? run.cmd.len : k_background_cmd_shown;
    shown -= shown < run.cmd.len ? utf8_cut_tail(run.cmd.ptr, shown) : 0;
    pos = append_key_decimal(out, pos, R"({"run_id":)", run.id);
    pos = append_text(out, pos, R"(,"agent":)");
    pos = append_json_string(out, pos, run.agent_name.ptr, run.agent_name.len);
    pos = append_text(out, pos, R"(,"cmd":)");
    pos = append_json_string(out, pos, run.cmd.ptr, shown);
    pos = append_key_decimal(out, pos, R"(,"cmd_bytes":)", run.cmd.len);
    pos = append_text(out, pos, R"(,"kind":"request")");
    pos = append_text(out, pos, run.queued ? R"(,"state":"queued")" : R"(,"state":"running")");
    pos = append_key_decimal(out, pos, R"(,"duration_ms":)", run.elapsed_ms);
    if (run.stopping)
        pos = append_text(out, pos, R"(,"stopped":true)");
    pos = append_key_decimal(out, pos, R"(,"output_bytes":)", run.output_bytes);
    return append_byte(out, pos, '}');
}

// The request runs running and queued that the viewer may see, after the background runs.
static i64 append_request_runs(char* out, i64 pos, const Viewer& viewer, i64* count)
{
    i64 capacity = sandbox_request_run_capacity();
    RequestRunView* views = (RequestRunView*)heap_alloc((u64)(capacity * (i64)sizeof(RequestRunView)));
    if (!views)
        return pos;
    i64 listed = sandbox_request_runs(views, capacity);
    for (i64 i = 0; i < listed; i++) {
        if (!request_visible(views[i], viewer))
            continue;
        if ((*count)++ > 0)
            pos = append_byte(out, pos, ',');
        pos = append_request_entry(out, pos, views[i]);
    }
    return pos;
}

void handle_runs_list(int conn, const char* req, i64 req_len)
{
    Viewer viewer {};
    identify_viewer(req, req_len, &viewer);
    char* out = (char*)heap_alloc((u64)list_size());
    if (!out)
        return send_memory_exhausted(conn);
    if (table.runs)
        forget_expired(monotonic_ms());
    i64 pos = append_text(out, 0, R"({"ok":true,"runs":[)");
    i64 count = 0;
    for (i64 i = 0; i < table.count; i++) {
        if (!visible(table.runs[i], viewer))
            continue;
        if (count++ > 0)
            pos = append_byte(out, pos, ',');
        // Each entry is the status without "ok": its first member is dropped.
        char* entry = out + pos;
        i64 len = build_status(entry, table.runs[i]);
        static constexpr i64 k_ok_len = sizeof(R"({"ok":true,)") - 1;
        move_bytes(entry + 1, entry + k_ok_len, len - k_ok_len);
        pos += len - k_ok_len + 1;
        pos = append_byte(out, pos, '}');
    }
    pos = append_request_runs(out, pos, viewer, &count);
    pos = append_key_decimal(out, pos, R"(],"count":)", count);
    pos = append_byte(out, pos, '}');
    send_json(conn, 200, reason_phrase(200), out, pos);
}

// The status with output from an offset: the status, four more members and the output.
static i64 status_answer_size(i64 capacity) { return k_status_size + k_json_string_max(capacity) + 128; }

void handle_run_status(int conn, const char* req, i64 req_len, ByteSpan id, ByteSpan query)
{
    Viewer viewer {};
    identify_viewer(req, req_len, &viewer);
    BackgroundRun* run = find_run(id, viewer);
    if (!run)
        return refuse(conn, 404, k_no_such_run);
    i64 from = 0;
    ByteSpan offset = query_param(query, "offset");
    if (offset.ptr != nullptr && (from = query_number(offset)) < 0)
        return refuse(conn, 400, "offset must be a whole number of 0 or more");
    i64 capacity = run->output.capacity;
    char* text = (char*)heap_alloc((u64)capacity);
    char* out = (char*)heap_alloc((u64)status_answer_size(capacity));
    if (!text || !out)
        return send_memory_exhausted(conn);
    OutputSlice slice = output_ring_read(&run->output, from, capacity, run->phase == k_phase_exited, text);
    i64 pos = build_status(out, *run);
    pos = append_key_decimal(out, pos, R"(,"offset":)", slice.from);
    pos = append_key_decimal(out, pos, R"(,"next_offset":)", slice.from + slice.len);
    pos = append_key_decimal(out, pos, R"(,"dropped":)", slice.dropped);
    pos = append_text(out, pos, R"(,"output":)");
    pos = append_json_string(out, pos, text, slice.len);
    if (!utf8_well_formed(text, slice.len))
        pos = append_text(out, pos, R"(,"lossy":true)");
    pos = append_byte(out, pos, '}');
    send_json(conn, 200, reason_phrase(200), out, pos);
}

// The request run of that id the viewer may see; its id, or -1.
static i64 find_request_run(ByteSpan id, const Viewer& viewer)
{
    i64 number = id.len >= 1 && id.len <= 18 ? query_number(id) : -1;
    if (number < 1)
        return -1;
    i64 capacity = sandbox_request_run_capacity();
    RequestRunView* views = (RequestRunView*)heap_alloc((u64)(capacity * (i64)sizeof(RequestRunView)));
    if (!views)
        return -1;
    i64 listed = sandbox_request_runs(views, capacity);
    for (i64 i = 0; i < listed; i++)
        if (views[i].id == number && request_visible(views[i], viewer))
            return number;
    return -1;
}

// A request run stopped by its id: killed (it answers its own request with exit code 137
// and "stopped":true), or taken from the queue (its request answers 409).
static void stop_request_run(int conn, i64 id)
{
    RequestStop stop = sandbox_stop_request_run(id);
    char* out = (char*)heap_alloc(96);
    if (!out)
        return send_memory_exhausted(conn);
    i64 pos = append_key_decimal(out, 0, R"({"ok":true,"run_id":)", id);
    pos = append_text(out, pos, stop == k_request_stop_ended ? R"(,"stopped":false})" : R"(,"stopped":true})");
    send_json(conn, 200, reason_phrase(200), out, pos);
}

void handle_run_stop(int conn, const char* req, i64 req_len, ByteSpan id)
{
    Viewer viewer {};
    identify_viewer(req, req_len, &viewer);
    BackgroundRun* run = find_run(id, viewer);
    if (!run) {
        i64 request_run = find_request_run(id, viewer);
        if (request_run < 0)
            return refuse(conn, 404, k_no_such_run);
        return stop_request_run(conn, request_run);
    }
    bool running = run->phase == k_phase_running;
    if (running) {
        run->stopped = true;
        sandbox_kill_background(run->handle);
    }
    char* out = (char*)heap_alloc(96);
    if (!out)
        return send_memory_exhausted(conn);
    i64 pos = append_key_decimal(out, 0, R"({"ok":true,"run_id":)", run->id);
    pos = append_text(out, pos, running ? R"(,"stopped":true})" : R"(,"stopped":false})");
    send_json(conn, 200, reason_phrase(200), out, pos);
}

// {"data":"...","eof":true}: data (decoded) is written now, as far as the pipe takes it;
// "written" says how far that was. eof closes the input after it.
void handle_run_stdin(int conn, const char* req, i64 req_len, ByteSpan id)
{
    Viewer viewer {};
    identify_viewer(req, req_len, &viewer);
    i64 body = find_body(req, req_len);
    const char* json = req + (body < 0 ? req_len : body);
    i64 len = body < 0 ? 0 : req_len - body;
    char* data = (char*)heap_alloc(k_background_stdin_max);
    if (!data)
        return send_memory_exhausted(conn);
    i64 data_len = 0;
    if (i64 value = json_find_member(json, len, 0, "data", 4); value >= 0) {
        JsonString text = json_decode_string(json, len, value, data, k_background_stdin_max);
        if (text.end < 0)
            return refuse(conn, 400, "data must be a string");
        if (text.decoded > text.stored)
            return refuse(conn, 400, "data is too large (limit 65536 bytes)");
        data_len = text.stored;
    }
    bool eof = false;
    if (i64 value = json_find_member(json, len, 0, "eof", 3); value >= 0) {
        // The literal must end where the member does: "truex" is neither.
        i64 end = json_value_end(json, len, value);
        i64 after = end < 0 ? len : json_skip_blanks(json, len, end);
        bool whole = after < len && (json[after] == ',' || json[after] == '}');
        eof = whole && end - value == 4 && bytes_equal(json + value, "true", 4);
        if (!eof && !(whole && end - value == 5 && bytes_equal(json + value, "false", 5)))
            return refuse(conn, 400, "eof must be true or false");
    }
    BackgroundRun* run = find_run(id, viewer);
    if (!run)
        return refuse(conn, 404, k_no_such_run);
    if (run->phase != k_phase_running)
        return refuse(conn, 409, "the run has ended");
    if (!run->input_open)
        return refuse(conn, 409, "the run's input is closed");
    i64 written = data_len > 0 ? sandbox_write_input(run->handle, data, data_len) : 0;
    if (written < 0) {
        run->input_open = false;
        return refuse(conn, 409, "the run's input is closed");
    }
    if (eof && written == data_len) {
        sandbox_end_input(run->handle);
        run->input_open = false;
    }
    char* out = (char*)heap_alloc(128);
    if (!out)
        return send_memory_exhausted(conn);
    i64 pos = append_key_decimal(out, 0, R"({"ok":true,"bytes":)", data_len);
    pos = append_key_decimal(out, pos, R"(,"written":)", written);
    pos = append_text(out, pos, run->input_open ? R"(,"stdin_open":true})" : R"(,"stdin_open":false})");
    send_json(conn, 200, reason_phrase(200), out, pos);
}

// ---- the events ---------------------------------------------------------------------------

// One connection's reading of one run: the record and its id (a record taken by a new run
// ends the stream), the offset reached, and its buffers in the connection's memory.
struct RunReader {
    BackgroundRun* run;
    i64 id;
    i64 position;
    char* text;
    char* event;
    char* head;
    i64 exit_step;
    i64 status_len;
};

// Each event names the offset after it, which Last-Event-ID gives back to resume there.
static i64 append_event_id(char* out, i64 offset)
{
    i64 pos = append_text(out, 0, "id: ");
    pos = append_decimal(out, pos, offset);
    return append_byte(out, pos, '\n');
}

static StreamPiece exit_piece(RunReader* reader)
{
    switch (reader->exit_step++) {
    case 0: {
        i64 pos = append_event_id(reader->event, reader->position);
        pos = append_text(reader->event, pos, "event: exit\ndata: ");
        pos += build_status(reader->event + pos, *reader->run);
        pos = append_text(reader->event, pos, "}\n\n");
        return { reader->event, pos, false };
    }
    default: return { "", 0, true };
    }
}

static StreamPiece next_event(void* context)
{
    RunReader* reader = (RunReader*)context;
    BackgroundRun* run = reader->run;
    if (run->id != reader->id || run->phase == k_phase_free)
        return { "", 0, true };
    bool final = run->phase == k_phase_exited;
    OutputSlice slice = output_ring_read(&run->output, reader->position, k_event_text_max, final, reader->text);
    if (slice.dropped > 0) {
        reader->position = slice.from;
        i64 pos = append_event_id(reader->event, reader->position);
        return { reader->event, pos + build_dropped_event(reader->event + pos, 0, slice.dropped), false };
    }
    if (slice.len > 0) {
        reader->position = slice.from + slice.len;
        i64 pos = append_event_id(reader->event, reader->position);
        return { reader->event, pos + build_output_event(reader->event + pos, 0, reader->text, slice.len), false };
    }
    if (final)
        return exit_piece(reader);
    return { nullptr, 0, false };
}

static void ignore_answer(void*, const char*, i64) { }

// The largest event: an id line and a text event, or the exit event with the status.
constexpr i64 k_run_event_size = 32 + (k_stream_event_size > k_status_size + 64 ? k_stream_event_size : k_status_size + 64);

void handle_run_events(int conn, const char* req, i64 req_len, ByteSpan id)
{
    Viewer viewer {};
    identify_viewer(req, req_len, &viewer);
    BackgroundRun* run = find_run(id, viewer);
    if (!run)
        return refuse(conn, 404, k_no_such_run);
    i64 from = 0;
    ByteSpan last {};
    if (find_header(req, req_len, "Last-Event-ID", &last) && (from = query_number(last)) < 0)
        return refuse(conn, 400, "Last-Event-ID must be an offset: a whole number of 0 or more");
    // An id past the output written so far resumes at its end, as no output was skipped.
    if (from > run->output.written)
        from = run->output.written;
    RunReader* reader = (RunReader*)heap_alloc(sizeof(RunReader));
    char* text = (char*)heap_alloc(k_event_text_max);
    char* event = (char*)heap_alloc(k_run_event_size);
    char* head = (char*)heap_alloc(k_header_buffer);
    if (!reader || !text || !event || !head)
        return send_memory_exhausted(conn);
    *reader = { run, run->id, from, text, event, head, 0, 0 };
    i64 head_len = build_event_stream_header(head);
    connection_stream(conn, head, head_len, { next_event, ignore_answer, reader, false });
}

i64 background_route_memory()
{
    i64 capacity = state.max_output_bytes;
    i64 status = heap_block(k_background_stdin_max) + heap_block(128) + heap_block(capacity) + heap_block(status_answer_size(capacity));
    i64 events = heap_block(sizeof(RunReader)) + heap_block(k_event_text_max) + heap_block(k_run_event_size) + heap_block(k_header_buffer);
    i64 views = heap_block(sandbox_request_run_capacity() * (i64)sizeof(RequestRunView));
    i64 list = heap_block(list_size()) + views;
    return status + events + list + views + heap_block(96) + heap_block(64);
}

i64 background_answer_max()
{
    i64 status = status_answer_size(state.max_output_bytes);
    return status > list_size() ? status : list_size();
}
