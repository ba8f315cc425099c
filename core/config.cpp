// Lines are split by the runtime's line splitter (LF, CR or CR LF). Port lines are read first, then the first credential line, so the port
// message always precedes the login message whatever the line order.
#include "core/config.h"
#include "core/state.h"
#include "runtime/console.h"
#include "runtime/fields.h"
#include "runtime/file_replace.h"
#include "runtime/heap.h"
#include "runtime/io.h"
#include "runtime/syscall.h"
#include "runtime/text.h"

// A TCP port; 0 would let the kernel choose one that nobody knows.
static constexpr i64 k_port_low = 1;
static constexpr i64 k_port_high = 65535;

static bool is_port_line(const char* line, i64 len) { return line[0] == 'p' && len >= 6 && line[4] == '='; }

static bool is_credential_line(const char* line, i64 len)
{
    return find_bytes(line, len, 0, ":", 1) >= 0 && find_bytes(line, len, 0, "=", 1) < 0;
}

static constexpr char k_config_source[] = "[Cindervox] /etc/cindervox/config";

// "<name> must be a whole number from <low> to <high>; ignored" about line number of the file.
static void report_out_of_range(i64 number, ByteSpan name, i64 low, i64 high)
{
    ConsoleLine notice;
    begin_file_line_notice(&notice, k_config_source, number);
    line_bytes(&notice, name.ptr, name.len);
    line_text(&notice, " must be a whole number from ");
    line_decimal(&notice, low);
    line_text(&notice, " to ");
    line_decimal(&notice, high);
    line_text(&notice, "; ignored");
    print_line(notice);
}

static i64 scan_ports(const char* text, i64 len)
{
    i64 port = 0;
    for_each_numbered_line(text, len, [&](const char* line, i64 line_len, i64 number) {
        if (!is_port_line(line, line_len))
            return false;
        i64 value = setting_value(line + 5, line_len - 5);
        if (value < k_port_low || value > k_port_high) {
            report_out_of_range(number, { "port", 4 }, k_port_low, k_port_high);
            return false;
        }
        print("[Cindervox] Port configured:\n");
        print_decimal_line(value);
        port = value;
        return false;
    });
    return port;
}

static bool take_credential(const char* text, i64 len)
{
    bool taken = false;
    for_each_line(text, len, [&](const char* line, i64 line_len) {
        if (!is_credential_line(line, line_len))
            return false;
        if (line_len > k_credential_line_max) {
            print("[Cindervox] Credential line too long (over 381 bytes), ignored\n");
            return false;
        }
        char* encoded = (char*)heap_alloc(k_credential_buffer);
        state.basic_credential_len = base64_encode(line, line_len, encoded);
        state.basic_credential = encoded;
        print("[Cindervox] Auth config loaded from /etc/cindervox/config\n");
        taken = true;
        return true;
    });
    return taken;
}

// Setting lines of the server's capacity: name=digits, and the values each may take. A line
// outside its range is ignored with a console line naming it, so the value before it (an
// earlier good line, or the default) stands. The reasons for the bounds:
//   max_connections      16 to 16384: fewer and a few idle browser tabs shut the admin
//                        out; the table is made at start-up, and beyond 16384 the
//                        descriptor limit cuts it down anyway.
//   max_concurrent_runs  1 to 64: run slots and a queue of four per slot are made at
//                        start-up, and every run holds descriptors and processes of its own.
//   workspace_mb         1 to 1048576 (1 TiB): tmpfs reads size=0 as unbounded, and no host
//                        has more memory than 1 TiB to give one agent; the inode count
//                        computed from it stays far from overflowing.
//   workspace_total_mb   1 to 1048576: the same bound for the sum of all workspaces.
//   max_runs_per_agent   0 to 320: 0 (the default) is half the run slots, at least 1; one
//                        agent cannot hold more than every slot and the whole queue.
//   max_background_runs  0 to 64: slots of their own made at start-up beside the request
//                        runs' (0: no background runs), each with descriptors and
//                        processes of its own and an output ring of max_output_bytes.
//   max_background_per_agent  1 to 64: one agent's share of them.
//   max_background_seconds  1 to 86400 (a day): the longest a background run may go.
//   prepared_runs        0 to 16: jail inits made ahead of commands (0: none); each is a
//                        process with namespaces and control groups of its own, and more
//                        than the run slots could hold is never used at once.
//   max_connections_per_peer  8 to 16384: a browser opens six connections to a host at
//                        once, and fewer than eight would have them push each other out;
//                        beyond 16384 it is above any table.
//   requests_per_second  1 to 100000: each credential's own window; 0 would refuse every
//                        request, and one thread answers far fewer than 100000 a second, so
//                        a larger value would only mean "no window".
//   max_agents           1 to 4096: every per-agent table is made at start-up for this
//                        many slots, and each slot has a uid of its own on the host.
//   agent_idle_minutes   1 to 10080 (a week): an idle agent that holds nothing leaves the
//                        registry after this long.
//   uid_base             1000 to 65533 - max_agents: the agent uids (one per slot and one
//                        for runs without a slot) stay clear of the host's system accounts
//                        below 1000, of nobody (65534) and of 65535, which older tools read
//                        as -1. Its bound follows max_agents, so it is taken after the
//                        other lines, whatever the order of the lines.
//   max_cmd_bytes        1 to 131071: the command is one argument of execve, and the kernel
//                        takes one of at most 128 KiB with its NUL.
//   max_output_bytes     4096 to 16777216 (16 MiB), per stream: every connection's memory
//                        is reserved for an answer carrying both streams escaped (up to six
//                        bytes each) twice over /mcp, so the bound keeps that within reach.
//   connection_memory_mb 64 to 1048576 (1 TiB): what all connections' arenas hold at once;
//                        a request past it is answered 503 with Retry-After, so many
//                        large requests at once cannot take the host's memory.
//   max_file_bytes       4096 to 67108864 (64 MiB): a file of one request; every connection's
//                        request buffer and answers are sized for it (reserved address
//                        space, in memory only as far as a request fills them).
struct CapacitySetting {
    const char* name;
    i64 ServerState::*field;
    i64 low;
    i64 high;
    i64 fallback;
};
static constexpr CapacitySetting k_capacity_settings[] = {
    { "max_connections=", &ServerState::max_connections, k_max_connections_low, k_max_connections_high, k_default_max_connections },
    { "max_concurrent_runs=", &ServerState::max_concurrent_runs, 1, k_max_concurrent_runs_high, k_default_max_concurrent_runs },
    { "workspace_mb=", &ServerState::workspace_mb, 1, k_workspace_mb_max, k_default_workspace_mb },
    { "workspace_total_mb=", &ServerState::workspace_total_mb, 1, k_workspace_mb_max, k_default_workspace_total_mb },
    { "max_runs_per_agent=", &ServerState::max_runs_per_agent, 0, k_max_runs_per_agent_high, 0 },
    { "max_background_runs=", &ServerState::max_background_runs, 0, k_max_background_runs_high, k_default_max_background_runs },
    { "max_background_per_agent=", &ServerState::max_background_per_agent, 1, k_max_background_runs_high,
        k_default_max_background_per_agent },
    { "max_background_seconds=", &ServerState::max_background_seconds, 1, k_max_background_seconds_high,
        k_default_max_background_seconds },
    { "prepared_runs=", &ServerState::prepared_runs, 0, k_prepared_runs_high, k_default_prepared_runs },
    { "max_connections_per_peer=", &ServerState::max_connections_per_peer, k_connections_per_peer_low, k_max_connections_high,
        k_default_max_connections_per_peer },
    { "requests_per_second=", &ServerState::global_rate_limit, 1, k_requests_per_second_high, k_default_requests_per_second },
    { "max_agents=", &ServerState::max_agents, 1, k_max_agents_high, k_default_max_agents },
    { "agent_idle_minutes=", &ServerState::agent_idle_minutes, 1, k_agent_idle_minutes_high, k_default_agent_idle_minutes },
    { "uid_base=", &ServerState::uid_base, k_uid_base_low, uid_base_high(1), k_default_uid_base },
    { "max_cmd_bytes=", &ServerState::max_cmd_bytes, 1, k_max_cmd_bytes_high, k_default_max_cmd_bytes },
    { "max_output_bytes=", &ServerState::max_output_bytes, k_max_output_bytes_low, k_max_output_bytes_high, k_default_max_output_bytes },
    { "max_file_bytes=", &ServerState::max_file_bytes, k_max_file_bytes_low, k_max_file_bytes_high, k_default_max_file_bytes },
    { "connection_memory_mb=", &ServerState::connection_memory_mb, k_connection_memory_mb_low, k_workspace_mb_max,
        k_default_connection_memory_mb },
};
// The default base leaves room for the largest registry.
static_assert(k_default_uid_base <= uid_base_high(k_max_agents_high));
// Every line fits the file's rewrite (k_config_text_size).
static_assert(sizeof(k_capacity_settings) / sizeof(k_capacity_settings[0]) <= k_capacity_lines_max);
static_assert([] {
    for (const CapacitySetting& setting : k_capacity_settings) {
        i64 len = 0;
        while (setting.name[len])
            len++;
        if (len + 2 > k_capacity_name_max)
            return false;
    }
    return true;
}());
static_assert([] {
    for (const CapacitySetting& setting : k_capacity_settings)
        if (setting.fallback < setting.low || setting.fallback > setting.high)
            return false;
    return true;
}());

// The default workspace_total_mb follows the host's memory (load_host_memory); the other
// defaults are the table's.
static constinit i64 workspace_total_default = k_default_workspace_total_mb;

static i64 default_of(const CapacitySetting& setting)
{
    return setting.field == &ServerState::workspace_total_mb ? workspace_total_default : setting.fallback;
}

i64 workspace_total_default_mb(i64 mem_total_kb)
{
    i64 quarter_mb = mem_total_kb / 1024 / 4;
    if (quarter_mb < 1)
        return 1;
    return quarter_mb < k_default_workspace_total_mb ? quarter_mb : k_default_workspace_total_mb;
}

i64 parse_mem_total_kb(const char* text, i64 len)
{
    static constexpr char key[] = "MemTotal:";
    i64 total = 0;
    for_each_line(text, len, [&](const char* line, i64 line_len) {
        if (line_len < (i64)sizeof(key) - 1 || !bytes_equal(line, key, sizeof(key) - 1))
            return false;
        // "MemTotal:   16384256 kB": the number stands between blanks, before its unit.
        i64 from = sizeof(key) - 1;
        i64 to = from;
        while (to < line_len && (line[to] == ' ' || line[to] == '\t' || (line[to] >= '0' && line[to] <= '9')))
            to++;
        i64 value = setting_value(line + from, to - from);
        total = value > 0 ? value : 0;
        return true;
    });
    return total;
}

// MemTotal is the first line; the read stops well past it.
static constexpr i64 k_meminfo_read_max = 255;

void apply_host_memory(i64 mem_total_kb)
{
    workspace_total_default = mem_total_kb > 0 ? workspace_total_default_mb(mem_total_kb) : k_default_workspace_total_mb;
    state.workspace_total_mb = workspace_total_default;
}

void load_host_memory()
{
    char text[k_meminfo_read_max + 1];
    i64 len = read_small_file("/proc/meminfo", text, k_meminfo_read_max);
    apply_host_memory(len > 0 ? parse_mem_total_kb(text, len) : 0);
}

// The highest value a row takes: uid_base's follows the registry's size.
static i64 high_of(const CapacitySetting& setting)
{
    return setting.field == &ServerState::uid_base ? uid_base_high(state.max_agents) : setting.high;
}

i64 agent_uid_count() { return state.max_agents + 1; }

// Takes the lines of one row, with a notice for each out of its range when notices is set.
static void scan_setting(const char* text, i64 len, const CapacitySetting& setting, bool notices)
{
    i64 name_len = text_length(setting.name);
    i64 high = high_of(setting);
    for_each_numbered_line(text, len, [&](const char* line, i64 line_len, i64 number) {
        if (line_len < name_len || !bytes_equal(line, setting.name, name_len))
            return false;
        i64 value = setting_value(line + name_len, line_len - name_len);
        if (value >= setting.low && value <= high)
            state.*setting.field = value;
        else if (notices)
            report_out_of_range(number, { setting.name, name_len - 1 }, setting.low, high);
        return false;
    });
}

// Takes every row's lines, row by row in table order, so uid_base (the last row) is
// judged against the max_agents the text sets.
static void scan_capacity(const char* text, i64 len)
{
    for (const CapacitySetting& setting : k_capacity_settings)
        scan_setting(text, len, setting, true);
}

// allow_unconfined=yes or =no; the last such line counts. Any other value is ignored with
// a console line, so a typo never opens the host.
static constexpr char k_allow_unconfined_key[] = "allow_unconfined=";

static void scan_allow_unconfined(const char* text, i64 len)
{
    i64 key_len = sizeof(k_allow_unconfined_key) - 1;
    for_each_numbered_line(text, len, [&](const char* line, i64 line_len, i64 number) {
        if (line_len < key_len || !bytes_equal(line, k_allow_unconfined_key, key_len))
            return false;
        ByteSpan value { line + key_len, line_len - key_len };
        if (span_equals(value, "yes") || span_equals(value, "no")) {
            state.allow_unconfined = span_equals(value, "yes") ? 1 : 0;
            return false;
        }
        ConsoleLine notice;
        begin_file_line_notice(&notice, k_config_source, number);
        line_text(&notice, "allow_unconfined must be yes or no; ignored");
        print_line(notice);
        return false;
    });
}

static const CapacitySetting* setting_of(i64 ServerState::*field)
{
    for (const CapacitySetting& setting : k_capacity_settings)
        if (setting.field == field)
            return &setting;
    return nullptr;
}

void apply_early_config_text(const char* text, i64 len)
{
    scan_setting(text, len, *setting_of(&ServerState::max_agents), false);
    scan_setting(text, len, *setting_of(&ServerState::uid_base), false);
}

void load_early_config()
{
    char text[k_config_read_max + 1];
    i64 len = read_small_file("/etc/cindervox/config", text, k_config_read_max);
    apply_early_config_text(text, len > 0 ? len : 0);
}

// The server_names= value as read, written back with the file, and the names it lists.
static constinit char server_names_text[k_server_names_text_max] {};
static constinit i64 server_names_text_len = 0;
static constinit ByteSpan server_names[k_server_names_max] {};
static constinit i64 server_name_count = 0;
static constinit bool server_names_any = false;

static constexpr char k_server_names_key[] = "server_names=";
static constexpr i64 k_server_names_key_len = sizeof(k_server_names_key) - 1;

static bool is_blank(char c) { return c == ' ' || c == '\t'; }

static void take_server_names(const char* value, i64 len)
{
    if (len > k_server_names_text_max) {
        print("[WARN] server_names= is longer than 1023 bytes; ignored\n");
        return;
    }
    copy_bytes(server_names_text, value, len);
    server_names_text_len = len;
    server_name_count = 0;
    server_names_any = false;
    for (i64 start = 0; start <= len;) {
        i64 end = start;
        while (end < len && server_names_text[end] != ',')
            end++;
        i64 from = start, to = end;
        while (from < to && is_blank(server_names_text[from]))
            from++;
        while (to > from && is_blank(server_names_text[to - 1]))
            to--;
        if (to - from == 1 && server_names_text[from] == '*')
            server_names_any = true;
        else if (to > from && to - from <= k_server_name_max && server_name_count < k_server_names_max)
            server_names[server_name_count++] = { server_names_text + from, to - from };
        start = end + 1;
    }
}

static void scan_server_names(const char* text, i64 len)
{
    server_names_text_len = 0;
    server_name_count = 0;
    server_names_any = false;
    for_each_line(text, len, [&](const char* line, i64 line_len) {
        if (line_len < k_server_names_key_len || !bytes_equal(line, k_server_names_key, k_server_names_key_len))
            return false;
        take_server_names(line + k_server_names_key_len, line_len - k_server_names_key_len);
        return true;
    });
    if (server_names_any)
        print("[Cindervox] server_names=*: the Host check is off, requests naming any host are answered\n");
    else if (server_name_count > 0)
        print("[Cindervox] Server names loaded from /etc/cindervox/config\n");
}

bool server_names_allow_any() { return server_names_any; }

static char lower_ascii(char c) { return c >= 'A' && c <= 'Z' ? (char)(c + 32) : c; }

bool server_name_listed(ByteSpan host)
{
    for (i64 i = 0; i < server_name_count; i++) {
        if (server_names[i].len != host.len)
            continue;
        i64 k = 0;
        while (k < host.len && lower_ascii(host.ptr[k]) == lower_ascii(server_names[i].ptr[k]))
            k++;
        if (k == host.len)
            return true;
    }
    return false;
}

// metrics_token= as read, written back with the file.
static constinit char metrics_token_text[k_metrics_token_max] {};
static constinit i64 metrics_token_len = 0;
static constexpr char k_metrics_token_key[] = "metrics_token=";
static constexpr i64 k_metrics_token_key_len = sizeof(k_metrics_token_key) - 1;

static void scan_metrics_token(const char* text, i64 len)
{
    metrics_token_len = 0;
    for_each_numbered_line(text, len, [&](const char* line, i64 line_len, i64 number) {
        if (line_len < k_metrics_token_key_len || !bytes_equal(line, k_metrics_token_key, k_metrics_token_key_len))
            return false;
        ByteSpan value { line + k_metrics_token_key_len, line_len - k_metrics_token_key_len };
        while (value.len > 0 && is_blank(value.ptr[value.len - 1]))
            value.len--;
        if (value.len <= k_metrics_token_max) {
            copy_bytes(metrics_token_text, value.ptr, value.len);
            metrics_token_len = value.len;
            return false;
        }
        ConsoleLine notice;
        begin_file_line_notice(&notice, k_config_source, number);
        line_text(&notice, "metrics_token is longer than 255 bytes; ignored");
        print_line(notice);
        return false;
    });
    if (metrics_token_len > 0)
        print("[Cindervox] Metrics token loaded from /etc/cindervox/config\n");
}

ByteSpan metrics_token() { return { metrics_token_text, metrics_token_len }; }

i64 apply_config_text(const char* text, i64 len)
{
    scan_capacity(text, len);
    i64 port = scan_ports(text, len);
    scan_server_names(text, len);
    scan_metrics_token(text, len);
    scan_allow_unconfined(text, len);
    if (!take_credential(text, len))
        print("[Cindervox] Using default auth (terox:wickerpod)\n");
    return port;
}

static_assert(k_config_text_size <= k_config_read_max);

i64 load_config()
{
    char* buf = (char*)heap_alloc(k_config_read_max + 1);
    i64 len = read_small_file("/etc/cindervox/config", buf, k_config_read_max);
    if (len == k_config_read_max)
        print("[WARN] /etc/cindervox/config is longer than 4095 bytes; what follows is ignored\n");
    return apply_config_text(buf, len > 0 ? len : 0);
}

void apply_token_text(char* text, i64 len)
{
    while (len > 0 && (text[len - 1] == '\n' || text[len - 1] == '\r' || text[len - 1] == ' '))
        len--;
    if (len >= 1) {
        text[len] = 0;
        state.bearer_token = text;
        state.bearer_token_len = len;
        print("[Cindervox] Bearer token loaded from /etc/cindervox/token\n");
        return;
    }
    state.bearer_token = k_default_bearer_token;
    state.bearer_token_len = sizeof(k_default_bearer_token) - 1;
    print("[Cindervox] Using default bearer token\n");
}

void load_bearer_token()
{
    char* buf = (char*)heap_alloc(k_token_read_max + 1);
    i64 len = read_small_file("/etc/cindervox/token", buf, k_token_read_max);
    apply_token_text(buf, len > 0 ? len : 0);
}

bool credential_line_storable(const char* line, i64 len)
{
    for (i64 i = 0; i < len; i++)
        if (line[i] == '=' || line[i] == '\n' || line[i] == '\r')
            return false;
    return true;
}

i64 build_config_text(char* out, const char* line, i64 line_len, i64 port)
{
    i64 pos = append_bytes(out, 0, line, line_len);
    pos = append_text(out, pos, "\nport=");
    pos = append_decimal(out, pos, port);
    pos = append_byte(out, pos, '\n');
    // Capacity lines the operator wrote survive a rewrite of the file.
    for (const CapacitySetting& setting : k_capacity_settings) {
        i64 value = state.*setting.field;
        if (value == default_of(setting))
            continue;
        pos = append_text(out, pos, setting.name);
        pos = append_decimal(out, pos, value);
        pos = append_byte(out, pos, '\n');
    }
    if (state.allow_unconfined == 1)
        pos = append_text(out, pos, "allow_unconfined=yes\n");
    if (metrics_token_len > 0) {
        pos = append_text(out, pos, k_metrics_token_key);
        pos = append_bytes(out, pos, metrics_token_text, metrics_token_len);
        pos = append_byte(out, pos, '\n');
    }
    // A login change must not drop the operator's host names.
    if (server_names_text_len > 0 || server_names_any) {
        pos = append_text(out, pos, k_server_names_key);
        pos = append_bytes(out, pos, server_names_text, server_names_text_len);
        pos = append_byte(out, pos, '\n');
    }
    return pos;
}

ConfigSave save_config(const char* line, i64 line_len, i64 port)
{
    char* text = (char*)heap_alloc(k_config_text_size);
    if (!text)
        return { k_config_not_saved, -ENOMEM };
    i64 text_len = build_config_text(text, line, line_len, port);
    i64 error = replace_file("/etc/cindervox", "config", "config.tmp", text, text_len, 0600);
    if (error == 0)
        return { k_config_saved, 0 };
    if (replace_file("/tmp", "cindervox_config", "cindervox_config.tmp", text, text_len, 0600) == 0)
        return { k_config_saved_tmp, error };
    return { k_config_not_saved, error };
}
