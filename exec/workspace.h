// Each agent's workspace: a size- and inode-bounded tmpfs under the jail base that every
// run of the agent sees as /tmp (and starts in), kept between its runs. Made on first use
// (a run or a file write), removed when its agent leaves or is reset (exec/agent_teardown.h)
// and by the sandbox reset; the server's mount namespace takes the rest with it when the
// server ends. Its files belong to the agent's uid
// (sandbox_uid_for_agent, exec/confinement.h).
#pragma once
#include "runtime/types.h"

// The size comes from workspace_mb; past the bound of all workspaces' sum
// (workspace_total_mb) a new workspace is smaller, and once that is used up an agent's
// runs get a fresh /tmp each, as agents without a slot do.

// Plain basic mode with Landlock: the workspaces' directory (0700, the server's own).
// Those workspaces have no size bound of their own: RLIMIT_FSIZE bounds each file.
constexpr char k_plain_workspaces[] = "/tmp/cindervox-ws";

// Inode bound per MiB of workspace.
constexpr i64 k_workspace_inodes_per_mb = 64;

// "/var/terox/jail/ws/" + slot digits + NUL.
constexpr i64 k_workspace_path_size = 96;

// Start-up: the table of the workspaces, one slot per agent slot (state.max_agents).
void workspace_init();

// 1 when the agent's workspace exists, mounting (or in plain mode making) it first if
// needed; 0 when the slot has none and cannot get one (no jail and no Landlock, no slot,
// the total bound used up, or a plain directory that is not the server's alone).
i64 workspace_ensure(i64 slot);

// The workspace's path in the server's namespace, NUL-terminated; returns its length.
i64 workspace_path(i64 slot, char* out);

// A directory descriptor of the agent's workspace (made if needed), or -errno.
i64 workspace_open(i64 slot);

// Bytes in use in the agent's workspace; 0 when it has none.
i64 workspace_bytes(i64 slot);

// Whether the slot's workspace is there now (made and not released).
bool workspace_exists(i64 slot);

// Removes the slot's workspace (unmounted, or in plain mode moved aside and emptied), so
// the slot's next agent starts with none. A run still going keeps its own view until it
// ends.
void workspace_release(i64 slot);
