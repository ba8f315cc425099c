#include "core/state.h"
#include "core/audit_log.h"

constinit ServerState state {};

void state_init_defaults()
{
    state = ServerState {};
    state.port = 7575;
    state.global_rate_limit = k_default_requests_per_second;
    state.audit_capacity = k_audit_capacity;
    state.audit_entry_size = k_audit_slot_size;
    state.timeout_ms = 5000;
    state.max_mem_mb = 64;
    state.max_cpu_sec = 5;
    state.max_procs = 5;
    state.max_fsize = 10485760;
    state.max_nofile = 32;
    state.basic_credential = k_default_credential;
    state.basic_credential_len = sizeof(k_default_credential) - 1;
    state.bearer_token = k_default_bearer_token;
    state.bearer_token_len = sizeof(k_default_bearer_token) - 1;
    state.max_rate_per_agent = 120;
    state.max_connections = k_default_max_connections;
    state.max_concurrent_runs = k_default_max_concurrent_runs;
    state.max_background_runs = k_default_max_background_runs;
    state.max_background_per_agent = k_default_max_background_per_agent;
    state.max_background_seconds = k_default_max_background_seconds;
    state.prepared_runs = k_default_prepared_runs;
    state.workspace_mb = k_default_workspace_mb;
    state.workspace_total_mb = k_default_workspace_total_mb;
    state.max_connections_per_peer = k_default_max_connections_per_peer;
    state.allow_unconfined = 0;
    state.uid_base = k_default_uid_base;
    state.max_file_bytes = k_default_max_file_bytes;
    state.connection_memory_mb = k_default_connection_memory_mb;
    state.max_agents = k_default_max_agents;
    state.agent_idle_minutes = k_default_agent_idle_minutes;
    state.max_cmd_bytes = k_default_max_cmd_bytes;
    state.max_output_bytes = k_default_max_output_bytes;
}
