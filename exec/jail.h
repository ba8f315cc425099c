// The jail every namespaced run sees, and the server's own namespaces it is built in.
//
// At start-up the server enters a mount namespace of its own (as root), or a user and a
// mount namespace of its own (as any other user, where the kernel allows it), so that no
// mount it makes reaches the host's mount table or outlives it. Inside, a small tmpfs at
// the jail base holds two things: the jail root, built once and then read-only, and one
// workspace tmpfs per agent (exec/workspace.h). Each run mounts its own /proc and /dev/shm
// and pivots into the root (as root it copies a template namespace that holds the root
// alone, pivoted once), and mounts its agent's workspace on /tmp from a detached copy;
// nothing else of the server's tree, the other workspaces included, is in the run's view.
#pragma once
#include "runtime/types.h"

// Where the base lives: as root under /var/terox, otherwise on /mnt, which every
// Debian host has and the server itself never uses (the cover exists only in the
// server's own mount namespace).
constexpr char k_jail_base[] = "/var/terox/jail";
constexpr char k_rootless_jail_base[] = "/mnt";

// How runs are confined: plain basic isolation, or the jail with its namespaces, entered
// as root (kernel) or inside the server's user namespace (rootless).
enum JailMode { k_jail_none, k_jail_kernel, k_jail_rootless };

// Paths under the base; each at most k_jail_path_size bytes with its NUL.
constexpr i64 k_jail_path_size = 64;
struct JailLayout {
    char base[k_jail_path_size];
    char root[k_jail_path_size];
    char root_tmp[k_jail_path_size];
    char root_proc[k_jail_path_size];
    char root_shm[k_jail_path_size];
    char workspaces[k_jail_path_size];
};

struct JailState {
    JailMode mode;
    JailLayout layout;
    // Rootless: per agent slot (and one for runs without a slot, at index max_agents) a
    // user namespace that shows the server's ids as the agent's uid, made at start-up;
    // userns_count entries (none elsewhere).
    int* userns_fds;
    i64 userns_count;
    // The server's ids as the host knows them; in rootless mode the only ids mapped into
    // its user namespace, and so the owner of every file a rootless run writes.
    u32 outer_uid;
    u32 outer_gid;
    // Kernel mode: a mount namespace that holds the jail alone, rooted at its root (made
    // once the jail is built): each run's init enters it and takes a private copy, so a
    // run copies the jail's mounts only, not the whole of the server's, and needs no pivot
    // of its own. -1 rootless, or when it could not be made: runs then copy the server's
    // tree and pivot.
    int template_mount_fd;
};

extern constinit JailState jail;

// The outcome of the preparation: the mode reached, and the first step that failed (its
// name, the path it acted on and the negated errno); failed_step nullptr when none did.
struct JailSetup {
    JailMode mode;
    const char* failed_step;
    char failed_target[3 * k_jail_path_size];
    i64 error;
};

// Start-up: enters the server's namespaces and builds the jail; as_root chooses kernel or
// rootless. As root the mode is kernel even when a step failed (the caller refuses to
// serve); rootless, a failure leaves k_jail_none and runs stay in plain basic isolation.
JailSetup prepare_jail(bool as_root);

// Maps one uid and one gid of the calling process's new user namespace onto its ids
// outside. An unprivileged writer may map only its own ids, and a gid only after
// setgroups has been denied in the namespace. Returns 1 on success.
i64 map_own_ids(u32 uid_inside, u32 gid_inside, u32 uid_outside, u32 gid_outside);

// The jail's /etc/passwd and /etc/group texts; return their lengths. out holds at least
// jail_account_text_size() bytes.
i64 build_jail_passwd(char* out);
i64 build_jail_group(char* out);
// root, one "sandbox" line per agent uid (agent_uid_count) and nobody, each at its longest.
i64 jail_account_text_size();

// Descriptors the jail holds open for each agent uid (agent_uid_count): its network
// namespace, and rootless its user namespace too.
i64 jail_descriptors_per_agent();

// At an orderly stop: unmounts the jail and the workspaces. Nothing would outlive the
// server anyway: they live in its own mount namespace.
void release_jail();
