// A fixed table of k_mcp_calls_max records; a free record has serial 0, which no
// connection has.
#include "admin/mcp_calls.h"
#include "runtime/text.h"

static constinit McpCallRecord calls[k_mcp_calls_max] {};
// Records get increasing ages, so the newest of two calls with one id is known.
static constinit u64 ages[k_mcp_calls_max] {};
static constinit u64 last_age = 0;

static bool same_caller(const McpCaller& a, const McpCaller& b)
{
    return a.bound == b.bound && a.len == b.len && bytes_equal(a.name, b.name, a.len);
}

bool mcp_call_record(int conn, u64 serial, const McpCaller& caller, ByteSpan id, McpCallLive live)
{
    if (id.len <= 0 || id.len > k_mcp_call_id_max)
        return false;
    for (i64 i = 0; i < k_mcp_calls_max; i++) {
        McpCallRecord& record = calls[i];
        if (record.serial != 0 && live(record.conn, record.serial))
            continue;
        record.conn = conn;
        record.serial = serial;
        record.caller = caller;
        copy_bytes(record.id, id.ptr, id.len);
        record.id_len = id.len;
        ages[i] = ++last_age;
        return true;
    }
    return false;
}

int mcp_call_take(const McpCaller& caller, ByteSpan id, McpCallLive live)
{
    i64 found = -1;
    for (i64 i = 0; i < k_mcp_calls_max; i++) {
        const McpCallRecord& record = calls[i];
        if (record.serial == 0 || record.id_len != id.len || !bytes_equal(record.id, id.ptr, id.len))
            continue;
        if (!same_caller(record.caller, caller) || !live(record.conn, record.serial))
            continue;
        if (found < 0 || ages[i] > ages[found])
            found = i;
    }
    if (found < 0)
        return -1;
    calls[found].serial = 0;
    return calls[found].conn;
}

void mcp_call_forget(int conn, u64 serial)
{
    for (McpCallRecord& record : calls)
        if (record.serial == serial && record.conn == conn)
            record.serial = 0;
}
