// The agent registry and the rate windows. The per-agent tables run parallel to the
// records: an agent's index is also its row in the model slots and the three rate tables.
// Records are never removed one by one; reset_agents empties the whole registry.
//
// A rate window is a ring of 60 one-second buckets. Both ticks and totals look at the
// wall clock, so a window holds exactly the last minute: an agent refused for rate is
// admitted again once its oldest counted runs are a minute old, whether or not it ran
// anything in between.
#include "agents/registry.h"
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

void registry_init()
{
    state.max_agents = k_max_agents;
    state.agents = (AgentRecord*)heap_alloc(k_max_agents * sizeof(AgentRecord));
    state.rate_buckets = (u32*)heap_alloc(k_rate_slots * sizeof(u32));
    state.rate_bucket_second = now_seconds();
    state.agent_rate_buckets = (u32*)heap_alloc(k_max_agents * k_rate_slots * sizeof(u32));
    state.agent_rate_index = (u32*)heap_alloc(k_max_agents * sizeof(u32));
    state.agent_rate_second = (u32*)heap_alloc(k_max_agents * sizeof(u32));
    state.agent_models = (char*)heap_alloc(k_max_agents * k_model_slot_size);
}

AgentRecord* agent_record(i64 index) { return &state.agents[index]; }

char* agent_model_slot(i64 index) { return state.agent_models + index * k_model_slot_size; }

ByteSpan agent_name(i64 index)
{
    if (index < 0 || index >= k_max_agents)
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

AgentSlot find_or_add_agent(const char* name, i64 len)
{
    if (len > k_name_max)
        len = k_name_max;
    for (i64 i = 0; i < state.agent_count; i++) {
        const AgentRecord* record = agent_record(i);
        if (bytes_equal(record->name, name, len) && record->name[len] == 0)
            return { i, false };
    }
    if (state.agent_count >= state.max_agents || state.agent_count >= k_max_agents)
        return { -1, false };
    AgentRecord* record = agent_record(state.agent_count);
    *record = {};
    copy_bytes(record->name, name, len);
    return { state.agent_count, true };
}

i64 register_agent(const char* name, i64 len)
{
    AgentSlot slot = find_or_add_agent(name, len);
    if (slot.added)
        state.agent_count++;
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
    if (index < 0 || index >= k_max_agents)
        return;
    i64 slot = state.agent_rate_index[index];
    i64 second = state.agent_rate_second[index];
    rate_window_tick(agent_window(index), &slot, &second, now);
    state.agent_rate_index[index] = (u32)slot;
    state.agent_rate_second[index] = (u32)second;
}

i64 agent_rate_total_at(i64 index, i64 now)
{
    if (index < 0 || index >= k_max_agents)
        return 0;
    i64 slot = state.agent_rate_index[index];
    i64 second = state.agent_rate_second[index];
    return rate_window_total(agent_window(index), slot, second, now);
}

i64 agent_rate_retry_after_at(i64 index, i64 now)
{
    if (index < 0 || index >= k_max_agents)
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

void reset_agents()
{
    for (i64 i = 0; i < state.agent_count && i < k_max_agents; i++) {
        AgentRecord* record = agent_record(i);
        AgentRecord cleared {};
        copy_bytes(cleared.name, record->name, sizeof(cleared.name));
        *record = cleared;
    }
    state.agent_count = 0;
    fill_bytes(state.rate_buckets, 0, k_rate_slots * sizeof(u32));
    state.rate_bucket_index = 0;
    fill_bytes(state.agent_rate_buckets, 0, k_max_agents * k_rate_slots * sizeof(u32));
    fill_bytes(state.agent_rate_index, 0, k_max_agents * sizeof(u32));
    fill_bytes(state.agent_rate_second, 0, k_max_agents * sizeof(u32));
    fill_bytes(state.agent_models, 0, k_max_agents * k_model_slot_size);
}
