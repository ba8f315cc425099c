// ServerState: the one process-wide record of sandbox-server. Every part of the server
// reads and writes it directly; the server has one thread, so nothing locks.
// The heap words live in the runtime's BumpHeap record (runtime/heap.h).
#pragma once
#include "runtime/types.h"

struct AgentRecord;

struct ServerState {
    i64 port;
    i64 total_execs;
    i64 blocked_cmds;
    i64 bytes_captured;
    i64 start_time;
    i64 global_rate_second;
    i64 global_rate_count;
    // Requests per calendar second of each credential's own window (requests_per_second=).
    i64 global_rate_limit;
    i64 audit_capacity;
    i64 audit_entry_size;
    char* audit_ring;
    i64 audit_next;
    i64 audit_count;
    char* blacklist;
    i64 blacklist_count;
    char* whitelist;
    i64 whitelist_count;
    i64 profile;
    i64 timeout_ms;
    i64 max_mem_mb;
    i64 max_cpu_sec;
    i64 max_procs;
    i64 max_fsize;
    i64 max_nofile;
    i64 kernel_isolation;
    i64 audit_fd;
    const char* basic_credential;
    i64 basic_credential_len;
    const char* bearer_token;
    i64 bearer_token_len;
    AgentRecord* agents;
    i64 agent_count;
    i64 last_exec_ms;
    // Slots of the agent registry (max_agents=); every per-agent table, the agents' uid
    // range among them, is made at start-up for this many.
    i64 max_agents;
    u32* rate_buckets;
    i64 rate_bucket_second;
    i64 rate_bucket_index;
    i64 max_rate_per_agent;
    u32* agent_rate_buckets;
    u32* agent_rate_index;
    u32* agent_rate_second;
    char* agent_models;
    i64 default_token_budget;
    i64 blacklist_used;
    i64 whitelist_used;
    // Connections in progress at most (the oldest idle one is dropped beyond), and commands
    // running at once at most (further ones wait in a queue); both from the configuration.
    i64 max_connections;
    i64 max_concurrent_runs;
    // Runs one agent may have running and queued together; 0 for half the run slots.
    i64 max_runs_per_agent;
    // Background runs: slots of their own beside the request runs' (0: none), one agent's
    // share of them, and how long one may run at most.
    i64 max_background_runs;
    i64 max_background_per_agent;
    i64 max_background_seconds;
    // Jail inits kept prepared ahead of commands (exec/prepared_runs.h); 0: every run's
    // init is made when its command arrives.
    i64 prepared_runs;
    // 1 when runs get namespaces and the jail: kernel isolation, or rootless namespaces
    // in basic isolation.
    i64 namespaces;
    // Size of each agent's workspace, and the bound of their sum, in MiB.
    i64 workspace_mb;
    i64 workspace_total_mb;
    // Connections in progress from one peer address at most; beyond it that peer's own
    // connection idle longest makes room.
    i64 max_connections_per_peer;
    // 1 when the configuration says allow_unconfined=yes: commands run where neither user
    // namespaces nor Landlock can confine them.
    i64 allow_unconfined;
    // The first agent uid in kernel isolation: agents run as uid_base + slot, and runs
    // without a slot as uid_base + max_agents (exec/confinement.h).
    i64 uid_base;
    // The longest command taken (bytes after JSON decoding), and the output kept of each
    // stream of a run (its first and last halves beyond).
    i64 max_cmd_bytes;
    i64 max_output_bytes;
    // The largest file a write takes or a read returns; the request body limit follows it.
    i64 max_file_bytes;
    // What all connections' memory together may hold at once, in MiB (connection_memory_mb=);
    // at least one connection's whole arena.
    i64 connection_memory_mb;
    // An agent that holds nothing (no run, no workspace, no budget of its own) leaves the
    // registry after this many minutes without a request (agent_idle_minutes=).
    i64 agent_idle_minutes;
    // How commands are matched against the screen and the policy: 0 byte by byte (the
    // default), 1 shell-aware (policy/command_judge.h, matcher= in policy.conf).
    i64 matcher;
};

constexpr i64 k_default_max_connections = 512;
constexpr i64 k_default_max_concurrent_runs = 8;
constexpr i64 k_default_max_background_runs = 16;
constexpr i64 k_default_max_background_per_agent = 4;
constexpr i64 k_default_max_background_seconds = 3600;
constexpr i64 k_default_prepared_runs = 2;
constexpr i64 k_default_max_connections_per_peer = 64;
constexpr i64 k_default_requests_per_second = 20;
// Each agent's workspace, and the bound of their sum, in MiB. By default every agent slot
// can have the default size: tmpfs sizes are bounds, not reservations.
constexpr i64 k_default_workspace_mb = 256;
constexpr i64 k_default_workspace_total_mb = 8192;
constexpr i64 k_default_uid_base = 60000;
constexpr i64 k_default_max_file_bytes = 8388608;
constexpr i64 k_default_connection_memory_mb = 1024;
constexpr i64 k_default_max_agents = 1024;
constexpr i64 k_default_agent_idle_minutes = 60;
constexpr i64 k_default_max_cmd_bytes = 65536;
constexpr i64 k_default_max_output_bytes = 1048576;

extern constinit ServerState state;

// The Base64 text of the built-in login terox:wickerpod.
constexpr char k_default_credential[] = "dGVyb3g6d2lja2VycG9k";
constexpr char k_default_bearer_token[] = "lanternfish-bearer-0000";

// Puts every field at its initial value (used by start-up and by hosted tests).
void state_init_defaults();
