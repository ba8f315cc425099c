// The agent registry and the rate windows. The per-agent tables run parallel to the
// records: an agent's slot is also its row in the model slots and the three rate tables,
// and names its workspace, uid and memory group in the layers above. Every table is made
// at start-up for state.max_agents slots.
//
// An agent holds its slot until it leaves: idle for agent_idle_minutes while it holds
// nothing (no run, no workspace, no budget or profile of its own), or, when a new name finds every
// slot taken, the evictable agent seen longest ago makes room. Agents bound to an agent
// token never leave. The registry knows runs and workspaces only through the keeper the
// layers above install (AgentKeeper), and releases what an agent holds there through it.
//
// A rate window is a ring of 60 one-second buckets. Both ticks and totals look at the
// wall clock, so a window holds exactly the last minute: an agent refused for rate is
// admitted again once its oldest counted runs are a minute old, whether or not it ran
// anything in between.
#include "agents/registry.h"
#include "agents/agent_tokens.h"
#include "core/audit_log.h"
#include "core/change_log.h"
#include "core/state.h"
#include "runtime/heap.h"
#include "runtime/io.h"
#include "runtime/text.h"

static constexpr char k_header_name[] = "X-Agent: ";
static constexpr i64 k_header_name_len = sizeof(k_header_name) - 1;
static constexpr char k_anonymous[] = "anonymous";
static constexpr char k_system[] = "system";
static constexpr i64 k_name_max = k_agent_name_max;

static bool never_busy(i64) { return false; }
static bool never_has_workspace(i64) { return false; }
static void release_nothing(i64) { }
static constinit AgentKeeper keeper { never_busy, never_has_workspace, release_nothing };
static constinit i64 last_idle_check = 0;
static constinit u64 requests_seen = 0;

void registry_init()
{
    if (state.max_agents < 1)
        state.max_agents = 1;
    i64 slots = state.max_agents;
    state.agent_count = 0;
    state.agents = (AgentRecord*)heap_alloc((u64)(slots * (i64)sizeof(AgentRecord)));
    state.rate_buckets = (u32*)heap_alloc(k_rate_slots * sizeof(u32));
    state.rate_bucket_second = now_seconds();
    state.agent_rate_buckets = (u32*)heap_alloc((u64)(slots * k_rate_slots * (i64)sizeof(u32)));
    state.agent_rate_index = (u32*)heap_alloc((u64)(slots * (i64)sizeof(u32)));
    state.agent_rate_second = (u32*)heap_alloc((u64)(slots * (i64)sizeof(u32)));
    state.agent_models = (char*)heap_alloc((u64)(slots * k_model_slot_size));
    last_idle_check = 0;
}

void registry_set_keeper(AgentKeeper set) { keeper = set; }

static bool slot_valid(i64 index) { return index >= 0 && index < state.max_agents; }

AgentRecord* agent_record(i64 index) { return &state.agents[index]; }

char* agent_model_slot(i64 index) { return state.agent_models + index * k_model_slot_size; }

ByteSpan agent_name(i64 index)
{
    if (!slot_valid(index) || !agent_record(index)->in_use)
        return { k_system, sizeof(k_system) - 1 };
    const char* name = agent_record(index)->name;
    return { name, text_length_max(name, k_name_max) };
}

i64 read_agent_header(const char* req, i64 req_len, char* out)
{
    for (i64 p = 0; p < req_len - k_header_name_len; p++) {
        if (!bytes_equal(req + p, k_header_name, k_header_name_len))
            continue;
        i64 len = 0;
        for (i64 k = p + k_header_name_len; k < req_len && req[k] != '\r' && req[k] != '\n' && len < k_name_max; k++)
            out[len++] = req[k];
        out[len] = 0;
        return len;
    }
    i64 len = append_text(out, 0, k_anonymous);
    out[len] = 0;
    return len;
}

static bool name_is(const AgentRecord* record, const char* name, i64 len)
{
    return record->in_use && bytes_equal(record->name, name, len) && record->name[len] == 0;
}

i64 find_agent(const char* name, i64 len)
{
    if (len > k_name_max)
        len = k_name_max;
    for (i64 i = 0; i < state.max_agents; i++)
        if (name_is(agent_record(i), name, len))
            return i;
    return -1;
}

AgentSlot find_or_add_agent(const char* name, i64 len)
{
    if (len > k_name_max)
        len = k_name_max;
    i64 free_slot = -1;
    for (i64 i = 0; i < state.max_agents; i++) {
        const AgentRecord* record = agent_record(i);
        if (name_is(record, name, len))
            return { i, false };
        if (!record->in_use && free_slot < 0)
            free_slot = i;
    }
    if (free_slot < 0) {
        free_slot = eviction_candidate();
        if (free_slot < 0)
            return { -1, false };
        evict_agent(free_slot, k_evicted_for_room, now_seconds());
    }
    return { free_slot, true };
}

i64 register_agent(const char* name, i64 len)
{
    AgentSlot slot = find_or_add_agent(name, len);
    if (slot.index < 0)
        return -1;
    AgentRecord* record = agent_record(slot.index);
    if (slot.added) {
        *record = {};
        i64 kept = len < k_name_max ? len : k_name_max;
        copy_bytes(record->name, name, kept);
        record->own_profile = token_profile_for_name({ name, kept });
        record->in_use = true;
        state.agent_count++;
    }
    record->last_seen = (u32)now_seconds();
    record->seen_order = ++requests_seen;
    return slot.index;
}

// Set by the router and read by the handler of the same request before it yields.
static constinit ByteSpan bound_agent {};

// The changes a bound agent makes are logged under its name.
void bind_request_agent(ByteSpan name)
{
    bound_agent = name;
    set_change_actor(name);
}

ByteSpan bound_request_agent() { return bound_agent; }

bool request_agent_bound() { return bound_agent.len > 0; }

i64 request_agent_name(const char* req, i64 req_len, char* out)
{
    if (bound_agent.len <= 0)
        return read_agent_header(req, req_len, out);
    i64 len = bound_agent.len < k_name_max ? bound_agent.len : k_name_max;
    copy_bytes(out, bound_agent.ptr, len);
    out[len] = 0;
    return len;
}

i64 resolve_agent(const char* req, i64 req_len)
{
    char name[k_name_max + 1];
    i64 len = request_agent_name(req, req_len, name);
    return register_agent(name, len);
}

i64 agent_budget(i64 index)
{
    i64 own = agent_record(index)->token_budget;
    return own != 0 ? own : state.default_token_budget;
}

RunLimits agent_run_limits(i64 index)
{
    if (!slot_valid(index) || !agent_record(index)->in_use)
        return global_run_limits();
    return run_limits_for(agent_record(index)->own_profile);
}

RunLimits agent_run_limits_by_name(const char* name, i64 len)
{
    i64 index = find_agent(name, len);
    if (index >= 0)
        return agent_run_limits(index);
    return run_limits_for(token_profile_for_name({ name, len < k_name_max ? len : k_name_max }));
}

i64 agent_tokens_used(i64 index)
{
    const AgentRecord* record = agent_record(index);
    return (i64)record->tokens_in + (i64)record->tokens_out;
}

void rate_window_tick(u32* buckets, i64* index, i64* second, i64 now)
{
    if (now > *second) {
        i64 passed = now - *second;
        if (passed > k_rate_slots)
            passed = k_rate_slots;
        for (i64 k = 0; k < passed; k++) {
            *index = (*index + 1) % k_rate_slots;
            buckets[*index] = 0;
        }
    }
    *second = now;
    buckets[*index]++;
}

i64 rate_window_total(const u32* buckets, i64 index, i64 second, i64 now)
{
    i64 total = 0;
    for (i64 k = 0; k < k_rate_slots; k++) {
        // The bucket k slots behind the current one holds second - k.
        if (second - k <= now - k_rate_slots)
            break;
        i64 slot = (index - k + k_rate_slots) % k_rate_slots;
        total += buckets[slot];
    }
    return total;
}

i64 rate_window_wait(const u32* buckets, i64 index, i64 second, i64 now, i64 limit)
{
    for (i64 wait = 1; wait < k_rate_slots; wait++)
        if (rate_window_total(buckets, index, second, now + wait) < limit)
            return wait;
    return k_rate_slots;
}

void tick_global_rate_at(i64 now) { rate_window_tick(state.rate_buckets, &state.rate_bucket_index, &state.rate_bucket_second, now); }

i64 global_rate_total_at(i64 now) { return rate_window_total(state.rate_buckets, state.rate_bucket_index, state.rate_bucket_second, now); }

static u32* agent_window(i64 index) { return state.agent_rate_buckets + index * k_rate_slots; }

void tick_agent_rate_at(i64 index, i64 now)
{
    if (!slot_valid(index))
        return;
    i64 slot = state.agent_rate_index[index];
    i64 second = state.agent_rate_second[index];
    rate_window_tick(agent_window(index), &slot, &second, now);
    state.agent_rate_index[index] = (u32)slot;
    state.agent_rate_second[index] = (u32)second;
}

i64 agent_rate_total_at(i64 index, i64 now)
{
    if (!slot_valid(index))
        return 0;
    i64 slot = state.agent_rate_index[index];
    i64 second = state.agent_rate_second[index];
    return rate_window_total(agent_window(index), slot, second, now);
}

i64 agent_rate_retry_after_at(i64 index, i64 now)
{
    if (!slot_valid(index))
        return 1;
    i64 slot = state.agent_rate_index[index];
    i64 second = state.agent_rate_second[index];
    return rate_window_wait(agent_window(index), slot, second, now, state.max_rate_per_agent);
}

i64 agent_rate_retry_after(i64 index) { return agent_rate_retry_after_at(index, now_seconds()); }

void tick_global_rate() { tick_global_rate_at(now_seconds()); }
i64 global_rate_total() { return global_rate_total_at(now_seconds()); }
void tick_agent_rate(i64 index) { tick_agent_rate_at(index, now_seconds()); }
i64 agent_rate_total(i64 index) { return agent_rate_total_at(index, now_seconds()); }

// The slot's rate window and model start over.
static void clear_agent_tables(i64 index)
{
    fill_bytes(state.agent_rate_buckets + index * k_rate_slots, 0, k_rate_slots * sizeof(u32));
    state.agent_rate_index[index] = 0;
    state.agent_rate_second[index] = 0;
    fill_bytes(agent_model_slot(index), 0, k_model_slot_size);
}

void reset_agents()
{
    i64 slots = state.max_agents;
    fill_bytes(state.agents, 0, slots * (i64)sizeof(AgentRecord));
    state.agent_count = 0;
    fill_bytes(state.rate_buckets, 0, k_rate_slots * sizeof(u32));
    state.rate_bucket_index = 0;
    fill_bytes(state.agent_rate_buckets, 0, slots * k_rate_slots * (i64)sizeof(u32));
    fill_bytes(state.agent_rate_index, 0, slots * (i64)sizeof(u32));
    fill_bytes(state.agent_rate_second, 0, slots * (i64)sizeof(u32));
    fill_bytes(state.agent_models, 0, slots * k_model_slot_size);
}

// ---- leaving -------------------------------------------------------------------------

static bool bound_to_token(const AgentRecord* record)
{
    i64 len = text_length_max(record->name, k_name_max);
    for (i64 i = 0; i < agent_token_count(); i++) {
        ByteSpan bound = agent_token_name(i);
        if (bound.len == len && bytes_equal(bound.ptr, record->name, len))
            return true;
    }
    return false;
}

bool agent_evictable(i64 index)
{
    if (!slot_valid(index))
        return false;
    const AgentRecord* record = agent_record(index);
    return record->in_use && record->token_budget == 0 && !has_own_profile(record->own_profile) && !bound_to_token(record)
        && !keeper.busy(index);
}

i64 eviction_candidate()
{
    i64 chosen = -1;
    for (i64 i = 0; i < state.max_agents; i++)
        if (agent_evictable(i) && (chosen < 0 || agent_record(i)->seen_order < agent_record(chosen)->seen_order))
            chosen = i;
    return chosen;
}

i64 build_agent_counters(char* out, i64 index)
{
    const AgentRecord* record = agent_record(index);
    i64 pos = append_text(out, 0, "execs=");
    pos = append_decimal(out, pos, record->execs);
    pos = append_text(out, pos, " blocked=");
    pos = append_decimal(out, pos, record->blocked);
    pos = append_text(out, pos, " bytes=");
    pos = append_decimal(out, pos, record->bytes);
    pos = append_text(out, pos, " tokens_in=");
    pos = append_decimal(out, pos, record->tokens_in);
    pos = append_text(out, pos, " tokens_out=");
    return append_decimal(out, pos, record->tokens_out);
}
// Five keys and five u32 values.
static_assert(sizeof("execs= blocked= bytes= tokens_in= tokens_out=") - 1 + 5 * 10 <= k_agent_counters_max);

// "idle 3600 s, execs=..." or "registry full, idle 12 s, execs=...": why, how long
// unseen, and the counters.
static constexpr i64 k_eviction_detail_max = 48 + k_decimal_max + k_agent_counters_max;

void evict_agent(i64 index, EvictionReason reason, i64 now)
{
    if (!slot_valid(index) || !agent_record(index)->in_use)
        return;
    AgentRecord* record = agent_record(index);
    char detail[k_eviction_detail_max];
    i64 len = append_text(detail, 0, reason == k_evicted_idle ? "idle " : "registry full, idle ");
    len = append_decimal(detail, len, now > record->last_seen ? now - record->last_seen : 0);
    len = append_text(detail, len, " s, ");
    len += build_agent_counters(detail + len, index);
    keeper.release(index);
    audit_write(agent_name(index), "AGENT", { detail, len }, 0, 0, "EVICTED");
    *record = {};
    clear_agent_tables(index);
    state.agent_count--;
}

i64 evict_idle_agents_at(i64 now)
{
    i64 idle_seconds = state.agent_idle_minutes * 60;
    i64 evicted = 0;
    for (i64 i = 0; i < state.max_agents; i++) {
        if (!agent_evictable(i) || keeper.has_workspace(i) || now - agent_record(i)->last_seen < idle_seconds)
            continue;
        evict_agent(i, k_evicted_idle, now);
        evicted++;
    }
    return evicted;
}

void agents_tick(i64 now)
{
    if (now - last_idle_check < k_idle_check_seconds && now >= last_idle_check)
        return;
    last_idle_check = now;
    evict_idle_agents_at(now);
}

void clear_agent_counters(i64 index)
{
    if (!slot_valid(index))
        return;
    AgentRecord* record = agent_record(index);
    AgentRecord cleared {};
    copy_bytes(cleared.name, record->name, sizeof(cleared.name));
    cleared.token_budget = record->token_budget;
    cleared.own_profile = record->own_profile;
    cleared.last_seen = record->last_seen;
    cleared.seen_order = record->seen_order;
    cleared.in_use = record->in_use;
    *record = cleared;
    clear_agent_tables(index);
}
