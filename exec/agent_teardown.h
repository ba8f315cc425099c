// What an agent holds outside the registry, and its one release: the workspace, the
// memory group and the network namespace made for its slot. Every way an agent's slot is given back goes through
// agent_teardown: eviction (idle, or to make room), DELETE /api/agents/{name} and
// DELETE /api/sandbox. The rootless user namespaces are made per uid at start-up and hold
// only the slot's uid map, so they stay for the slot's next agent (exec/jail.h).
#pragma once
#include "runtime/types.h"

// Start-up, after registry_init: the per-agent tables of this layer (workspaces, memory
// groups) for state.max_agents slots, and the registry's keeper, which asks this layer
// whether an agent has runs or a workspace and releases what it holds when it leaves.
void agent_tables_init();

// Releases what slot holds: its workspace (unmounted, or in plain mode emptied) and its
// memory group (kept while a run group is still inside it). Runs still going keep their
// own views until they end; the slot's next run gets new ones.
void agent_teardown(i64 slot);
