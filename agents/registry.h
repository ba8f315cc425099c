// The agent registry (32 records named by X-Agent), their model slots, the per-agent
// and global rate windows of 60 one-second buckets, and the registry part of the reset.
#pragma once
#include "runtime/types.h"

// Sizes of the agent tables.
constexpr i64 k_max_agents = 32;
constexpr i64 k_rate_slots = 60;
constexpr i64 k_model_slot_size = 20;
constexpr i64 k_agent_name_max = 31;

// One registered agent: its name (NUL-terminated) and its counters.
struct AgentRecord {
    char name[k_agent_name_max + 1];
    u32 execs;
    u32 blocked;
    u32 bytes;
    u32 last_active;
    u32 tokens_in;
    u32 tokens_out;
    // The agent's own budget; 0 means the default one.
    u32 token_budget;
    u32 unused;
};
static_assert(sizeof(AgentRecord) == 64, "an agent record is 64 bytes");

// Allocates the agent tables; called once at start-up.
void registry_init();

// Record and 20-byte model slot of agent index (0 to 31).
AgentRecord* agent_record(i64 index);
char* agent_model_slot(i64 index);

// Name of agent index up to its NUL (at most 31 bytes), or "system" for no agent.
ByteSpan agent_name(i64 index);

// The X-Agent value of the request (at most 31 bytes, NUL after it) into out, which
// holds at least 32 bytes; "anonymous" without the header. Returns the length.
i64 read_agent_header(const char* req, i64 req_len, char* out);

// The slot of the agent named name. A new name gets the next free slot, filled in but not
// yet counted in agent_count (the caller counts it once it keeps it), with added set;
// index -1 when the registry is full.
struct AgentSlot {
    i64 index;
    bool added;
};
AgentSlot find_or_add_agent(const char* name, i64 len);

// find_or_add_agent, counting a new record in agent_count: the index, or -1 when full.
i64 register_agent(const char* name, i64 len);

// The name the request acts for, NUL after it, into out (at least 32 bytes): the name
// bound to its agent token when it carries one (its X-Agent header is then ignored),
// otherwise read_agent_header. Returns the length.
i64 request_agent_name(const char* req, i64 req_len, char* out);

// request_agent_name and register_agent: the index, or -1 when the registry is full.
i64 resolve_agent(const char* req, i64 req_len);

// The agent name bound to the token that authenticated the request in progress; an empty
// span for none. The router sets it for every request before dispatching it.
void bind_request_agent(ByteSpan name);

// The agent's own token budget, or the default one when its own is 0 (0: no budget).
i64 agent_budget(i64 index);

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

void reset_agents();
