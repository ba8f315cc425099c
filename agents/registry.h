// The agent registry (max_agents records named by X-Agent), their model slots, the
// per-agent and global rate windows of 60 one-second buckets, the agents' leaving (idle,
// or making room for a new name) and the registry part of the resets.
#pragma once
#include "core/run_limits.h"
#include "runtime/types.h"

// Sizes of the agent tables; the number of slots is state.max_agents.
constexpr i64 k_rate_slots = 60;
constexpr i64 k_model_slot_size = 20;
constexpr i64 k_agent_name_max = 31;

// One registry slot: the agent's name (NUL-terminated) and its counters.
struct AgentRecord {
    char name[k_agent_name_max + 1];
    u32 execs;
    u32 blocked;
    u32 bytes;
    // Wall-clock second of the agent's latest command (0: none yet).
    u32 last_active;
    u32 tokens_in;
    u32 tokens_out;
    // The agent's own budget; 0 means the default one.
    u32 token_budget;
    // The agent's own profile (core/run_limits.h); k_no_own_profile: the global one. Set by
    // the agents file for a token agent, or by the admin.
    OwnProfile own_profile;
    // Wall-clock second of the agent's latest request of any kind, its registration
    // included: the clock its idleness is measured by.
    u32 last_seen;
    bool in_use;
    // The registry's count of requests at that request: orders agents seen within one
    // second, so the one seen longest ago is known exactly.
    u64 seen_order;
};

// Allocates the agent tables for state.max_agents slots; called once at start-up.
void registry_init();

// Record and 20-byte model slot of agent index (0 to max_agents - 1).
AgentRecord* agent_record(i64 index);
char* agent_model_slot(i64 index);

// Name of agent index up to its NUL (at most 31 bytes), or "system" for no agent (an index
// outside the table, or a free slot).
ByteSpan agent_name(i64 index);

// The X-Agent value of the request (at most 31 bytes, NUL after it) into out, which
// holds at least 32 bytes; "anonymous" without the header. Returns the length.
i64 read_agent_header(const char* req, i64 req_len, char* out);

// The slot of the agent named name (its first 31 bytes). A new name gets the lowest free
// slot, with added set, but does not hold it yet: the slot stays free until
// register_agent takes it. When no slot is free, the evictable agent idle longest leaves
// to make one (evict_agent); index -1 when every slot holds an agent that cannot leave.
struct AgentSlot {
    i64 index;
    bool added;
};
AgentSlot find_or_add_agent(const char* name, i64 len);

// find_or_add_agent, holding a new slot (counted in agent_count); every call marks the
// agent as seen now. The index, or -1 when full.
i64 register_agent(const char* name, i64 len);

// The index of the agent named name (its first 31 bytes), or -1; adds nothing.
i64 find_agent(const char* name, i64 len);

// The name the request acts for, NUL after it, into out (at least 32 bytes): the name
// bound to its agent token when it carries one (its X-Agent header is then ignored),
// otherwise read_agent_header. Returns the length.
i64 request_agent_name(const char* req, i64 req_len, char* out);

// request_agent_name and register_agent: the index, or -1 when the registry is full.
i64 resolve_agent(const char* req, i64 req_len);

// The agent name bound to the token that authenticated the request in progress; an empty
// span for none. The router sets it for every request before dispatching it.
void bind_request_agent(ByteSpan name);

// The name bound to the token of the request in progress; an empty span when no agent
// token authenticated it.
ByteSpan bound_request_agent();

// Whether the request in progress carries an agent token.
bool request_agent_bound();

// The agent's own token budget, or the default one when its own is 0 (0: no budget).
i64 agent_budget(i64 index);

// The limits and profile that hold for agent index's runs: its own profile's, or the
// global ones (also for an index outside the registry).
RunLimits agent_run_limits(i64 index);

// The limits that will hold for the agent called name (its first 31 bytes) before it is
// registered: a registered agent's own, else the profile its token line names, else the
// global ones. register_agent gives a new token agent that same profile.
RunLimits agent_run_limits_by_name(const char* name, i64 len);

// tokens_in + tokens_out of the agent.
i64 agent_tokens_used(i64 index);

// Rate windows follow the wall clock: a window counts exactly the commands of the last
// 60 seconds. The bucket at index belongs to second; the one k slots before it to
// second - k.
void tick_global_rate();
i64 global_rate_total();
void tick_agent_rate(i64 index);
i64 agent_rate_total(i64 index);

// The same with the clock passed in, so tests can move time.
void tick_global_rate_at(i64 now);
i64 global_rate_total_at(i64 now);
void tick_agent_rate_at(i64 index, i64 now);
i64 agent_rate_total_at(i64 index, i64 now);

// Pure core over one window of 60 little-endian u32 buckets. A tick first clears the
// buckets of every second that passed since *second (at most all 60), then counts one
// at now. A clock that went back moves the window's second back without clearing, so
// what was counted leaves the window a minute later on the new clock.
void rate_window_tick(u32* buckets, i64* index, i64* second, i64 now);
// Sum of the buckets of the 60 seconds up to now (all of them while the clock stands
// behind the window's second); writes nothing.
i64 rate_window_total(const u32* buckets, i64 index, i64 second, i64 now);

// Whole seconds from now until the window's total falls below limit, as the runs in it
// age out: 1 to 60 (60 also when no wait is enough, a limit of 0).
i64 rate_window_wait(const u32* buckets, i64 index, i64 second, i64 now, i64 limit);

// The wait until agent index's window admits it again under max_rate_per_agent.
i64 agent_rate_retry_after(i64 index);
i64 agent_rate_retry_after_at(i64 index, i64 now);

// The registry part of DELETE /api/sandbox: every slot free, every window empty.
void reset_agents();

// ---- leaving -------------------------------------------------------------------------

// What the layers above the registry know of an agent: whether a run of its is running or
// queued, whether it has a workspace, and how to give back what it holds outside the
// registry (its workspace, memory group and namespaces). Until one is set, no agent is
// busy or has a workspace, and releasing does nothing.
struct AgentKeeper {
    bool (*busy)(i64 index);
    bool (*has_workspace)(i64 index);
    void (*release)(i64 index);
};
void registry_set_keeper(AgentKeeper keeper);

// Whether agent index may leave the registry: it is there, is not bound to an agent token,
// has no budget or profile of its own (the admin set one for it), and has no run running
// or queued.
bool agent_evictable(i64 index);

// The evictable agent seen longest ago, or -1.
i64 eviction_candidate();

// Why an agent left, as its audit entry says.
enum EvictionReason { k_evicted_idle, k_evicted_for_room };

// Agent index leaves the registry: what it holds is released, one audit entry (action
// "AGENT", result "EVICTED") records its counters, and its slot and windows are cleared.
void evict_agent(i64 index, EvictionReason reason, i64 now);

// Evicts every evictable agent without a workspace that has not been seen for
// agent_idle_minutes; returns how many left.
i64 evict_idle_agents_at(i64 now);

// The loop's tick: evict_idle_agents_at now, at most once every k_idle_check_seconds.
constexpr i64 k_idle_check_seconds = 10;
void agents_tick(i64 now);

// The counters of agent index as an audit detail ("execs=3 blocked=0 bytes=12
// tokens_in=0 tokens_out=0") into out (k_agent_counters_max bytes); returns the length.
constexpr i64 k_agent_counters_max = 96;
i64 build_agent_counters(char* out, i64 index);

// The registry part of DELETE /api/agents/{name}: the agent's counters, model and rate
// window start over; its name, its budget and its profile stay.
void clear_agent_counters(i64 index);
