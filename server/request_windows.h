// The router's per-second request windows, one per credential: the admin's own, one per
// agent token, the metrics token's, one per X-Agent name sent with the admin's credential,
// and one that every request without valid credentials shares. A flood under one
// credential fills its own window and no other. Pure: the second comes from the caller.
//
// The names' windows are a fixed table. A window only counts within its calendar second,
// so an entry whose second has passed holds nothing worth keeping and is taken by the
// next new name: every name keeps an exact window as long as at most k_named_windows
// names send within one second, and the names beyond that in the same second share one
// overflow window. Names are read by the registry's rule (their first k_agent_name_max
// bytes), so a window and an agent record name the same agent.
#pragma once
#include "agents/agent_tokens.h"
#include "agents/registry.h"
#include "runtime/types.h"

// Names that keep a window of their own within one second; the table is scanned for every
// request under a name, so it stays small whatever the registry's size.
constexpr i64 k_named_windows = 64;

enum WindowOwner {
    k_window_stranger,
    k_window_admin,
    // An agent token; WindowKey.token is its row in the token table.
    k_window_token,
    // An X-Agent name sent with the admin's credential; WindowKey.name is the name.
    k_window_name,
    // The metrics token of GET /metrics.
    k_window_metrics,
};

struct WindowKey {
    WindowOwner owner;
    i64 token;
    ByteSpan name;
};

// Counts one request of key in calendar second now. True when that makes more than limit
// requests of key's window in that second (the request is to be refused; it still
// counts, so a client that keeps sending stays refused until the second ends).
bool request_window_full(WindowKey key, i64 now, i64 limit);

// Empties every window (start-up state; for tests).
void request_windows_clear();
