// The agents' network namespaces (see the header).
#include "exec/agent_network.h"
#include "core/state.h"
#include "exec/jail.h"
#include "runtime/heap.h"
#include "runtime/syscall.h"
#include "runtime/text.h"

struct AgentNetwork {
    bool made;
    int fd;
};
static constinit AgentNetwork* networks = nullptr;
static constinit i64 network_count = 0;

// The table lives as long as the process: one record per slot and the shared one.
static bool networks_ready()
{
    if (networks)
        return true;
    i64 count = state.max_agents + 1;
    networks = (AgentNetwork*)heap_alloc_lasting((u64)(count * (i64)sizeof(AgentNetwork)));
    if (!networks)
        return false;
    network_count = count;
    return true;
}

// What the child reports: the namespace's descriptor, or the failed step's negated errno.
struct NetworkMaking {
    i64 index;
    i64 result;
};

// SIOCSIFFLAGS needs CAP_NET_ADMIN over the namespace: the child has it as root, or as the
// creator of its user namespace rootless.
static i64 bring_loopback_up()
{
    i64 fd = sys_socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return fd;
    ifreq_flags_k request {};
    copy_bytes(request.name, "lo", 3);
    i64 result = sys_ioctl((int)fd, SIOCGIFFLAGS, &request);
    if (result == 0) {
        request.flags = (short)(request.flags | IFF_UP);
        result = sys_ioctl((int)fd, SIOCSIFFLAGS, &request);
    }
    sys_close((int)fd);
    return result;
}

// The child: it shares the server's memory and descriptor table (so the descriptor it
// opens is the server's) but not its file-system attributes, which setns into a user
// namespace requires.
static int make_network(void* arg)
{
    NetworkMaking* making = (NetworkMaking*)arg;
    i64 result = 0;
    if (jail.mode == k_jail_rootless)
        result = sys_setns(jail.userns_fds[making->index], CLONE_NEWUSER);
    if (result == 0)
        result = sys_unshare(CLONE_NEWNET);
    if (result == 0)
        result = bring_loopback_up();
    if (result == 0)
        result = sys_open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC, 0);
    making->result = result;
    return 0;
}

alignas(16) static constinit char network_stack[8192] {};

static i64 make_agent_network(i64 index)
{
    NetworkMaking making { index, -EINVAL };
    u64 flags = CLONE_VM | CLONE_FILES | CLONE_VFORK | SIGCHLD;
    i64 pid = sys_clone_call(flags, network_stack + sizeof(network_stack), nullptr, make_network, &making);
    if (pid < 0)
        return pid;
    int status = 0;
    while (sys_wait4((int)pid, &status, __WALL, nullptr) == -EINTR) { }
    return making.result;
}

i64 agent_network_fd(i64 index)
{
    if (!networks_ready())
        return -ENOMEM;
    if (index < 0 || index >= network_count)
        return -EINVAL;
    if (networks[index].made)
        return networks[index].fd;
    i64 fd = make_agent_network(index);
    if (fd >= 0)
        networks[index] = { true, (int)fd };
    return fd;
}

i64 agent_network_prepare()
{
    i64 fd = agent_network_fd(state.max_agents);
    return fd < 0 ? fd : 0;
}

void agent_network_release(i64 slot)
{
    if (slot < 0 || slot >= network_count || !networks[slot].made)
        return;
    sys_close(networks[slot].fd);
    networks[slot] = { false, -1 };
}

void agent_network_release_all()
{
    for (i64 index = 0; index < network_count; index++)
        agent_network_release(index);
}
