// The MCP tool calls whose commands are running, so that a notifications/cancelled can find
// the call it names. The endpoint is stateless: a call is known by who sent it and its
// JSON-RPC id, and a cancellation reaches only a call of the same caller, which is the agent
// of an agent token, or the admin's credential acting for one X-Agent name. A record names
// its connection by descriptor and serial, so a record left behind by a connection that has
// closed never takes a later connection on the same descriptor for its call; such records
// are simply taken again.
#pragma once
#include "runtime/types.h"

// Who sent a message: an agent token's agent (bound), else the admin credential and the
// X-Agent name it acts for.
struct McpCaller {
    bool bound;
    char name[32];
    i64 len;
};

// The longest id a call is recorded with (its JSON text), as the endpoint takes ids.
constexpr i64 k_mcp_call_id_max = 256;
// As many calls as answers may wait to be carried at once.
constexpr i64 k_mcp_calls_max = 64;

struct McpCallRecord {
    int conn;
    u64 serial;
    McpCaller caller;
    char id[k_mcp_call_id_max];
    i64 id_len;
};

// Whether the connection a record names is still the one it recorded.
using McpCallLive = bool (*)(int conn, u64 serial);

// Records the call of caller with id (its JSON text, at most k_mcp_call_id_max bytes) on
// connection conn of serial serial. False when every record holds a live call.
bool mcp_call_record(int conn, u64 serial, const McpCaller& caller, ByteSpan id, McpCallLive live);

// Takes the live call of caller with id off the table and returns its connection; -1 when
// caller has no such call. The newest is taken when one caller reused an id.
int mcp_call_take(const McpCaller& caller, ByteSpan id, McpCallLive live);

// The call on conn of serial is over (answered): its record is free again.
void mcp_call_forget(int conn, u64 serial);
