// The claim on the agents' uids in kernel isolation: uid_base to uid_base + max_agents
// (exec/confinement.h) must be this server's alone. RLIMIT_NPROC counts every process of a
// uid on the host, so another server's agents under the same uids would use up this
// server's agents' process allowance ("Cannot fork"), and either could signal the other's.
//
// Two checks at start-up, before the jail is built: a lock on the range, held for the
// server's life, in /run/cindervox/uids.lock, and a scan of /proc for a process already
// running under one of the uids. The lock is an open-file-description record lock
// (F_OFD_SETLK) on the bytes uid_base to uid_base + max_agents of that one file, so two servers
// conflict exactly when their ranges overlap, whatever their bases; the kernel drops it
// when the server ends, however it ends. Rootless, the agents' uids exist only inside
// the server's user namespaces and every run counts against the server's own uid on the
// host, so nothing is claimed there.
#pragma once
#include "runtime/types.h"

constexpr char k_agent_uid_lock_dir[] = "/run/cindervox";
constexpr char k_agent_uid_lock_path[] = "/run/cindervox/uids.lock";

enum AgentUidOutcome { k_agent_uids_claimed, k_agent_uids_locked, k_agent_uids_in_use, k_agent_uids_lock_failed };

struct AgentUidClaim {
    AgentUidOutcome outcome;
    // k_agent_uids_in_use: a process found under the range.
    i64 pid;
    // k_agent_uids_lock_failed: the negated errno of the step that failed.
    i64 error;
};

// Locks the range first and then scans, so of two servers starting together one gets the
// lock and the other stops; the lock descriptor stays open (close-on-exec) on success.
AgentUidClaim claim_agent_uids(u32 first, u32 count);

// True when /proc/<pid>/status text has a "Uid:" line with any of its four ids (real,
// effective, saved, file system) in first to first + count - 1. Pure.
bool status_uid_in_range(const char* text, i64 len, u32 first, u32 count);

// The console line refusing to start, for any outcome but k_agent_uids_claimed, e.g.
// "[ERROR] agent uids 60000-61024 are in use by another process (pid 812); set uid_base=
// in /etc/cindervox/config\n". Returns its length; out holds k_agent_uid_refusal_max.
constexpr i64 k_agent_uid_refusal_max = 256;
i64 build_agent_uid_refusal(char* out, const AgentUidClaim& claim, u32 first, u32 count);
