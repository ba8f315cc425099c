// Each route's worst case is the request buffer (made when the connection is accepted)
// plus every block the route's handler may take, each rounded as the heap rounds it. A
// handler's blocks are summed over all its paths, so whichever path a request takes fits.
//
// The largest is a tool call through /mcp: its own request, the route request it builds
// from it (no larger than the request), the route's buffers, and the tool result, which
// carries the route's answer twice (as text and as structuredContent). With output kept up
// to 64,999 bytes, every byte escaped to six, the exec answer is 390,154 bytes and the tool
// result under 790,000: about 1.7 MB in all.
#include "server/connection_memory.h"
#include "admin/agent_reset.h"
#include "admin/file_read.h"
#include "admin/file_write.h"
#include "admin/mcp_endpoint.h"
#include "admin/policy_endpoints.h"
#include "admin/reports.h"
#include "admin/settings.h"
#include "agents/agent_tokens.h"
#include "core/audit_log.h"
#include "core/config.h"
#include "core/http_response.h"
#include "dashboard/admin_page.h"
#include "exec/exec_endpoint.h"
#include "policy/policy_file.h"
#include "runtime/heap.h"
#include "server/request_framing.h"

static constexpr i64 k_request_memory = heap_block(k_request_buffer);

// Every answer is sent with a header block, and any route may end in an error answer.
static constexpr i64 k_answer_overhead = heap_block(k_header_buffer) + heap_block(k_error_buffer);

constexpr i64 larger(i64 a, i64 b) { return a > b ? a : b; }

// The longest answer a tool's route gives, which the tool result carries.
static constexpr i64 k_tool_route_answer_max =
    larger(larger(k_exec_answer_max, k_read_answer_size), larger(larger(k_write_answer_size, k_error_buffer), k_refusal_body_size));
static constexpr i64 k_tool_route_memory = larger(k_exec_route_memory, larger(k_read_route_memory, k_write_route_memory));

// The administration routes read and rewrite small files inside the request: the policy
// file (read for a reload, rebuilt for a change), the agents file, the configuration file
// and its credential, the token file. Summed, whichever of them a route uses.
static constexpr i64 k_admin_files_memory = heap_block(k_policy_read_max + 1) + heap_block(k_policy_text_size)
    + heap_block(k_agents_file_read_max + 1) + heap_block(k_config_read_max + 1) + heap_block(k_token_read_max + 1)
    + heap_block(k_config_text_size) + heap_block(k_credential_buffer);
// Their own fields and answers, summed likewise.
static constexpr i64 k_admin_fields_memory = k_settings_route_memory + k_policy_change_memory + k_agent_reset_memory;

static i64 mcp_memory()
{
    return k_request_memory + mcp_call_memory(k_request_buffer) + k_tool_route_memory + heap_block(mcp_tool_answer_size(k_tool_route_answer_max))
        + k_answer_overhead;
}

static RouteMemory table[8];

const RouteMemory* route_memory_table(i64* count)
{
    i64 n = 0;
    table[n++] = { "POST /api/exec", k_request_memory + k_exec_route_memory };
    table[n++] = { "POST /api/read", k_request_memory + k_read_route_memory };
    table[n++] = { "POST /api/write", k_request_memory + k_write_route_memory };
    table[n++] = { "POST /mcp", mcp_memory() };
    table[n++] = { "GET /", k_request_memory + heap_block(k_admin_page_size) + k_answer_overhead };
    table[n++] = { "GET /api/audit",
        k_request_memory + heap_block(k_audit_filter_size) + heap_block(audit_report_size()) + k_answer_overhead };
    table[n++] = { "reports and settings",
        k_request_memory + heap_block(agents_report_size()) + heap_block(k_policy_report_size) + heap_block(k_health_report_size)
            + k_admin_files_memory + k_admin_fields_memory + k_answer_overhead };
    *count = n;
    return table;
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
