// Configuration file /etc/cindervox/config (port and login), its reader and writer, and the
// bearer token file.
#pragma once
#include "runtime/types.h"

// The configuration file is read up to this many bytes; the server's own rewrite fits.
constexpr i64 k_config_read_max = 4095;
constexpr i64 k_token_read_max = 255;
constexpr i64 k_credential_buffer = 512;
// The longest credential line whose Base64 text and NUL fit the 512-byte buffer.
constexpr i64 k_credential_line_max = 381;

// Largest workspace setting (1 TiB in MiB); a larger one is ignored.
constexpr i64 k_workspace_mb_max = 1048576;

// Bounds of max_agents=: the registry's slots, each with a uid of its own.
constexpr i64 k_max_agents_high = 4096;
// Bounds of agent_idle_minutes=: a minute to a week.
constexpr i64 k_agent_idle_minutes_high = 10080;

// Bounds of uid_base=: agents run as uid_base to uid_base + max_agents (each agent slot
// and the one uid of runs without a slot). Below 1000 are the host's system accounts; the
// range ends at k_agent_uid_last, below nobody (65534) and 65535, which older tools read as
// -1. So the highest base follows max_agents.
constexpr i64 k_uid_base_low = 1000;
constexpr i64 k_agent_uid_last = 65533;
constexpr i64 uid_base_high(i64 max_agents) { return k_agent_uid_last - max_agents; }
// The agent uids of the configured registry: one per slot and the one of runs without a slot.
i64 agent_uid_count();

// workspace_total_mb's default on a host with mem_total_kb of memory: 8192, or a quarter
// of the host's memory where that is less (workspace files are memory), at least 1.
i64 workspace_total_default_mb(i64 mem_total_kb);
// The value of the "MemTotal:" line of /proc/meminfo text, in KiB; 0 when missing.
i64 parse_mem_total_kb(const char* text, i64 len);
// Start-up, before load_config: reads /proc/meminfo and makes the host's default the
// value and the default of workspace_total_mb (a configuration line still replaces it,
// and a rewritten file leaves it out as it does every default).
void load_host_memory();
// The same for a known MemTotal in KiB; 0 or less (unknown) gives 8192.
void apply_host_memory(i64 mem_total_kb);

// Reads the configuration file; may replace basic_credential, the metrics token, allow_unconfined,
// max_connections, max_concurrent_runs, the workspace sizes, max_connections_per_peer,
// max_agents, agent_idle_minutes, uid_base, max_cmd_bytes, max_output_bytes, max_file_bytes
// and the requests_per_second window (global_rate_limit); returns the configured
// port, or 0 when none
// (or only out-of-range ones) was given. A numeric line outside its range (the table in
// core/config.cpp) is ignored with a console line naming the file and the line.
i64 load_config();

// Applies configuration text as load_config does after reading it; it also takes the
// workspace_mb= and workspace_total_mb= lines.
i64 apply_config_text(const char* text, i64 len);

// Start-up, before the jail is built: the settings the jail depends on (max_agents and
// uid_base) from the configuration file, without console lines; load_config takes them
// again later, with its notices, and comes to the same values.
void load_early_config();
// Applies configuration text as load_early_config does after reading it.
void apply_early_config_text(const char* text, i64 len);

// Reads the token file and sets bearer_token.
void load_bearer_token();

// Applies token file text as load_bearer_token does after reading it.
void apply_token_text(char* text, i64 len);

// Longest user name and password kept from a request.
constexpr i64 k_username_capacity = 31;
constexpr i64 k_password_capacity = 63;
// user:password at its longest.
constexpr i64 k_credential_line_capacity = k_username_capacity + 1 + k_password_capacity;
// Bounds of the capacity lines (max_connections=, max_concurrent_runs=).
constexpr i64 k_max_connections_low = 16;
constexpr i64 k_max_connections_high = 16384;
constexpr i64 k_max_concurrent_runs_high = 64;
// Every run slot and the queue of four per slot (exec/sandbox_runner.h) held by one agent.
constexpr i64 k_max_runs_per_agent_high = k_max_concurrent_runs_high * 5;
// Bounds of the background runs' lines.
constexpr i64 k_max_background_runs_high = 64;
constexpr i64 k_max_background_seconds_high = 86400;
constexpr i64 k_prepared_runs_high = 16;
// Bounds of max_connections_per_peer= and requests_per_second=.
constexpr i64 k_connections_per_peer_low = 8;
constexpr i64 k_requests_per_second_high = 100000;
// Bounds of max_cmd_bytes= (the kernel takes one argument of at most 131,072 bytes with
// its NUL), max_output_bytes= (per stream) and max_file_bytes=.
constexpr i64 k_max_cmd_bytes_high = 131071;
constexpr i64 k_max_output_bytes_low = 4096;
constexpr i64 k_max_output_bytes_high = 16777216;
constexpr i64 k_max_file_bytes_low = 4096;
constexpr i64 k_max_file_bytes_high = 67108864;
// Bounds of connection_memory_mb= (64 MiB to 1 TiB).
constexpr i64 k_connection_memory_mb_low = 64;
// The longest value of a server_names= line; a longer one is ignored with a console line.
constexpr i64 k_server_names_text_max = 1023;
// The configuration file as written: the credential line, the port line, the capacity
// lines that differ from their defaults and the server_names line read at start-up.
// Numeric setting lines at most, and the longest one's name with its "=" and line feed;
// core/config.cpp checks its table against both.
constexpr i64 k_capacity_lines_max = 20;
constexpr i64 k_capacity_name_max = sizeof("max_connections_per_peer=\n");
// The longest metrics_token= value; a longer one is ignored with a console line.
constexpr i64 k_metrics_token_max = 255;
constexpr i64 k_config_text_size = k_credential_line_capacity + 1 + sizeof("port=\n") + 20 + k_capacity_lines_max * (k_capacity_name_max + 20) +
    sizeof("server_names=\n") + k_server_names_text_max + sizeof("allow_unconfined=yes\n") + sizeof("metrics_token=\n") + k_metrics_token_max;

// The bearer token that may read GET /metrics besides the admin's credentials, from
// "metrics_token=" (the last such line; blanks at its end are not part of it); an empty
// span when none is configured.
ByteSpan metrics_token();

// Host names the server answers to besides IP addresses, localhost and the machine's own
// name, from "server_names=" (comma-separated); "*" answers any name.
constexpr i64 k_server_names_max = 16;
constexpr i64 k_server_name_max = 253;
bool server_names_allow_any();
// True when host (without a port) is one of the listed names, compared without regard to case.
bool server_name_listed(ByteSpan host);

// True when the configuration reader will take the line back as the credential after a
// restart: no "=" (which marks a setting line) and no line break.
bool credential_line_storable(const char* line, i64 len);

// The configuration file text for a credential line and a port; returns its length.
i64 build_config_text(char* out, const char* line, i64 line_len, i64 port);

enum ConfigSaveOutcome { k_config_saved, k_config_saved_tmp, k_config_not_saved };
struct ConfigSave {
    ConfigSaveOutcome outcome;
    // The negated errno of the write to /etc/cindervox when it failed; 0 otherwise.
    i64 error;
};

// Writes the configuration file for a credential line and a port, or its fallback copy
// in /tmp when /etc/cindervox cannot be written.
ConfigSave save_config(const char* line, i64 line_len, i64 port);
