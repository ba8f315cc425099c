// The layer's answers to the registry's keeper, and the per-agent release.
#include "exec/agent_teardown.h"
#include "agents/registry.h"
#include "exec/agent_network.h"
#include "exec/prepared_runs.h"
#include "exec/run_cgroup.h"
#include "exec/sandbox_runner.h"
#include "exec/workspace.h"

void agent_teardown(i64 slot)
{
    // Prepared inits whose memory group lies in the agent's go first, so the group can.
    // The workspace goes before the memory group: its pages are charged there.
    prepared_runs_forget_agent(slot);
    workspace_release(slot);
    agent_cgroup_release(slot);
    agent_network_release(slot);
}

void agent_tables_init()
{
    workspace_init();
    agent_cgroups_init();
    registry_set_keeper({ sandbox_agent_busy, workspace_exists, agent_teardown });
}
