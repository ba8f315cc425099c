// Each agent's network namespace in the jail modes: made on the agent's first run with its
// loopback up and nothing else, and joined by every run of the agent, as its user
// namespace is in rootless mode. A run can serve and reach 127.0.0.1 (and ::1) within its
// agent's namespace; there is no route out of it, and another agent's loopback is another
// namespace's. Runs without an agent slot share one more.
//
// A short-lived child makes each one: it shares the server's memory and descriptor table,
// enters a new network namespace, brings lo up with SIOCSIFFLAGS on a datagram socket of
// that namespace, and opens the namespace into the shared table. As root the namespace
// belongs to the server's user namespace; rootless the child first enters the agent's user
// namespace, which then owns the network namespace too. The server keeps the descriptor
// until the agent's teardown (agent_network_release); a run still inside keeps its
// namespace alive until it ends, and the agent's next run gets a new one.
#pragma once
#include "runtime/types.h"

// Namespaces kept: one per agent slot, and one (index state.max_agents) for runs without a
// slot; the table is made on first use, once max_agents is known.

// Start-up, in the jail modes, once the agents' user namespaces exist: makes the namespace
// of runs without a slot, which also proves that this host lets the server make namespaces
// and bring their loopback up. Returns 0 or the negated errno of the step that failed.
i64 agent_network_prepare();

// The descriptor of the network namespace of index (an agent slot, or max_agents), made
// first if the agent has none; or the negated errno of the step that failed.
i64 agent_network_fd(i64 index);

// Closes the agent's namespace descriptor: the part of the agent's teardown that concerns
// its network. A slot out of range is ignored.
void agent_network_release(i64 slot);

// Every namespace, the shared one included (the sandbox reset).
void agent_network_release_all();
