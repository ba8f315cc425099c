#include "server/request_windows.h"
#include "runtime/text.h"

struct SecondWindow {
    i64 second;
    i64 count;
};

struct NamedWindow {
    char name[k_agent_name_max];
    i64 name_len;
    SecondWindow window;
};

struct RequestWindows {
    SecondWindow stranger;
    SecondWindow admin;
    SecondWindow metrics;
    SecondWindow tokens[k_max_agent_tokens];
    NamedWindow names[k_named_windows];
    SecondWindow overflow;
};
static constinit RequestWindows windows {};

void request_windows_clear() { windows = RequestWindows {}; }

static bool count_in(SecondWindow* window, i64 now, i64 limit)
{
    if (window->second != now) {
        window->second = now;
        window->count = 0;
    }
    window->count++;
    return window->count > limit;
}

// The name's window: its own entry, else an entry whose second has passed (taken over,
// its count starting afresh), else the overflow window shared by the names of this second
// that found no entry.
static SecondWindow* named_window(ByteSpan name, i64 now)
{
    if (name.len > k_agent_name_max)
        name.len = k_agent_name_max;
    NamedWindow* stale = nullptr;
    for (NamedWindow& entry : windows.names) {
        if (entry.name_len == name.len && bytes_equal(entry.name, name.ptr, name.len))
            return &entry.window;
        if (!stale && entry.window.second != now)
            stale = &entry;
    }
    if (!stale)
        return &windows.overflow;
    copy_bytes(stale->name, name.ptr, name.len);
    stale->name_len = name.len;
    stale->window = {};
    return &stale->window;
}

bool request_window_full(WindowKey key, i64 now, i64 limit)
{
    switch (key.owner) {
    case k_window_admin: return count_in(&windows.admin, now, limit);
    case k_window_metrics: return count_in(&windows.metrics, now, limit);
    case k_window_token:
        if (key.token >= 0 && key.token < k_max_agent_tokens)
            return count_in(&windows.tokens[key.token], now, limit);
        return count_in(&windows.stranger, now, limit);
    case k_window_name: return count_in(named_window(key.name, now), now, limit);
    case k_window_stranger: break;
    }
    return count_in(&windows.stranger, now, limit);
}
