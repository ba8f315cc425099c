// Each route's worst case is the request buffer (made when the connection is accepted)
// plus every block the route's handler may take, each rounded as the heap rounds it. A
// handler's blocks are summed over all its paths, so whichever path a request takes fits.
// What depends on the configuration (the request buffer, from max_file_bytes; the command
// and output buffers and the exec answer, from max_cmd_bytes and max_output_bytes) is
// computed from the configured values, once the configuration is read.
//
// The largest is a tool call through /mcp: its own request, the route request it builds
// from it (no larger than the request), the route's buffers, the tool result, which
// carries the route's answer twice (as text and as structuredContent), and for a call
// that asked for progress its notifications' buffers (about 34 KiB). With the default
// settings the exec answer holds two streams of up to 1 MiB each, every byte escaped to
// six: about 12.6 MB, the tool result about 25.2 MB, and the requests about 11.4 MB each
// (a body of 8 MiB in Base64): about 64 MB of address space per connection, of which only
// the pages a request and its answers fill cost memory.
#include "server/connection_memory.h"
#include "admin/agent_profile.h"
#include "admin/agent_reset.h"
#include "admin/file_list.h"
#include "admin/file_read.h"
#include "admin/file_write.h"
#include "admin/history_report.h"
#include "admin/mcp_endpoint.h"
#include "admin/metrics_report.h"
#include "admin/policy_check.h"
#include "admin/policy_endpoints.h"
#include "admin/reports.h"
#include "admin/settings.h"
#include "agents/agent_tokens.h"
#include "core/audit_log.h"
#include "core/config.h"
#include "core/http_response.h"
#include "core/state.h"
#include "dashboard/admin_page.h"
#include "exec/background_runs.h"
#include "exec/exec_endpoint.h"
#include "policy/policy_file.h"
#include "runtime/heap.h"
#include "runtime/text.h"
#include "server/request_framing.h"

i64 request_body_max() { return request_body_limit(state.max_file_bytes); }

i64 request_buffer_size() { return request_buffer_for(request_body_max()); }

i64 request_first_buffer_size() { return k_header_block_max + 8192 + 1; }

// The first buffer stays taken when a larger one replaces it.
static i64 request_memory() { return heap_block(request_first_buffer_size()) + heap_block(request_buffer_size()); }

// Every answer is sent with a header block, and any route may end in an error answer.
static constexpr i64 k_answer_overhead = heap_block(k_header_buffer) + heap_block(k_error_buffer);

constexpr i64 larger(i64 a, i64 b) { return a > b ? a : b; }

// The file routes' worst cases for the configured file size and body limit.
static i64 read_memory() { return read_route_memory(state.max_file_bytes); }
static i64 write_memory() { return write_route_memory(request_body_max()); }

// The longest answer a tool's route gives, which the tool result carries.
static i64 tool_route_answer_max()
{
    i64 files = larger(larger(read_answer_size(state.max_file_bytes), k_write_answer_size), larger(k_list_answer_size, k_file_refusal_size));
    i64 runs = larger(exec_answer_max(), background_answer_max());
    return larger(larger(runs, files), larger(k_error_buffer, k_refusal_body_size));
}

static i64 tool_route_memory()
{
    i64 files = larger(larger(read_memory(), write_memory()), k_list_route_memory);
    return larger(larger(exec_route_memory(), background_route_memory()), files);
}

// The administration routes read and rewrite small files inside the request: the policy
// file (read for a reload, rebuilt for a change), the agents file, the configuration file
// and its credential, the token file. Summed, whichever of them a route uses.
static constexpr i64 k_admin_files_memory = heap_block(k_policy_read_max + 1) + heap_block(k_policy_text_size)
    + heap_block(k_agents_file_read_max + 1) + heap_block(k_config_read_max + 1) + heap_block(k_token_read_max + 1)
    + heap_block(k_config_text_size) + heap_block(k_credential_buffer);
// Their own fields and answers, summed likewise.
static constexpr i64 k_admin_fields_memory = k_settings_route_memory + k_policy_change_memory + k_agent_reset_memory + k_agent_profile_memory;

static i64 mcp_memory()
{
    return request_memory() + mcp_call_memory(request_buffer_size()) + tool_route_memory()
        + heap_block(mcp_tool_answer_size(tool_route_answer_max())) + k_answer_overhead;
}

static RouteMemory table[10];

const RouteMemory* route_memory_table(i64* count)
{
    i64 n = 0;
    table[n++] = { "POST /api/exec", request_memory() + exec_route_memory() };
    table[n++] = { "POST /api/read", request_memory() + read_memory() };
    table[n++] = { "POST /api/write", request_memory() + write_memory() };
    table[n++] = { "POST /api/list", request_memory() + k_list_route_memory };
    table[n++] = { "/api/runs", request_memory() + background_route_memory() + k_answer_overhead };
    table[n++] = { "POST /mcp", mcp_memory() };
    table[n++] = { "POST /api/policy/check", request_memory() + policy_check_route_memory() + k_answer_overhead };
    table[n++] = { "GET /", request_memory() + heap_block(k_admin_page_size) + k_answer_overhead };
    table[n++] = { "GET /api/audit",
        request_memory() + heap_block(k_audit_filter_size) + heap_block(audit_report_size()) + k_answer_overhead };
    table[n++] = { "reports and settings",
        request_memory() + heap_block(agents_report_size()) + heap_block(k_policy_report_size) + heap_block(k_health_report_size)
            + heap_block(k_history_report_size) + heap_block(k_metrics_report_size)
            + k_admin_files_memory + k_admin_fields_memory + k_answer_overhead };
    *count = n;
    return table;
}

i64 route_memory_of(ByteSpan method, ByteSpan path)
{
    i64 count = 0;
    const RouteMemory* routes = route_memory_table(&count);
    for (i64 i = 0; i < count; i++) {
        const char* name = routes[i].route;
        i64 name_len = text_length(name);
        i64 space = 0;
        while (space < name_len && name[space] != ' ')
            space++;
        if (space == name_len) {
            // A path without a method covers the routes below it too.
            if (path.len >= name_len && bytes_equal(path.ptr, name, name_len))
                return routes[i].bytes;
            continue;
        }
        ByteSpan route_path { name + space + 1, name_len - space - 1 };
        if (method.len == space && bytes_equal(method.ptr, name, space) && path.len == route_path.len
            && bytes_equal(path.ptr, route_path.ptr, path.len))
            return routes[i].bytes;
    }
    return routes[count - 1].bytes;
}

i64 connection_arena_size()
{
    i64 count = 0;
    const RouteMemory* routes = route_memory_table(&count);
    i64 largest = 0;
    for (i64 i = 0; i < count; i++)
        largest = larger(largest, routes[i].bytes);
    return round_up_to_page(largest);
}
