// The Landlock domain every run enters before its shell starts: which access rights the
// ruleset handles on this kernel (best effort: only those the running ABI knows), and
// which places grant which of them.
//
// Jail modes: read and execute in the jail's system trees, read in its /etc (written for
// the jail, never the host's whole /etc), listing of / and /dev, the harmless devices, and
// read and write in /tmp (the agent's workspace) and /dev/shm; the run's own /proc is
// readable. Plain basic mode (no namespaces): the host's system trees, the entries of /etc
// but the server's and the host's secrets, the devices, /dev/shm, /proc, and read and write
// in the agent's workspace directory only; TCP bind and connect are handled with no port
// granted, since the command shares the host's network there.
//
// From ABI 6 the domain is also scoped: no signal and no abstract-socket connection
// leaves the run, so a command can no longer reach the server it runs beside, and the
// filter drops the instructions that guarded the server's process (exec/seccomp_filter.h).
//
// Rules are built in two stages, as a rule holds the inode its path names when it is
// added. The ruleset is prepared with every place known before the command: in the jail
// modes by the jail's init once it has pivoted (its own /proc and /dev/shm included, as
// the run sees them), ahead of the command when the init is prepared early; in plain
// basic mode by the server, with the agent's workspace. When the command is bound, the
// init adds /tmp, where the agent's workspace has just been mounted, and restricts
// itself. The init shares the server's memory: nothing here allocates.
#pragma once
#include "exec/jail.h"
#include "runtime/types.h"

// The ABIs that bring what the rules use beyond the file-system rights of ABI 1.
constexpr i64 k_landlock_abi_refer = 2;
constexpr i64 k_landlock_abi_truncate = 3;
constexpr i64 k_landlock_abi_network = 4;
constexpr i64 k_landlock_abi_ioctl_dev = 5;
constexpr i64 k_landlock_abi_scopes = 6;

// What a place grants; the rights each means are masked by the ABI and by the kind of
// the place (a file takes no directory rights).
enum LandlockGrant : u8 {
    k_grant_list,
    k_grant_read,
    k_grant_read_exec,
    k_grant_device,
    k_grant_read_write,
};

// Prepared rows go into the ruleset before the command is known; bound rows once the
// command's places are mounted. A prepared row the host lacks is skipped; a bound row
// must be there.
enum LandlockStage : u8 { k_stage_prepare, k_stage_bind };

struct LandlockRow {
    const char* path;
    LandlockGrant grant;
    LandlockStage stage;
};

struct LandlockRows {
    const LandlockRow* rows;
    i64 count;
};

// What the ruleset handles, and the size of the attribute that says so (the fields the
// ABI knows).
struct LandlockHandled {
    u64 fs;
    u64 net;
    u64 scoped;
    i64 attr_size;
};

// ---- pure -------------------------------------------------------------------------

LandlockHandled landlock_handled(JailMode mode, i64 abi);
u64 landlock_grant_rights(LandlockGrant grant, i64 abi, bool directory);
LandlockRows landlock_rows(JailMode mode);
// Plain basic mode: whether the host /etc entry may be read (not the server's
// configuration, the password and group shadows, the sudo rules or the ssh keys).
bool landlock_etc_entry_allowed(const char* name);
// Whether the domain's scopes keep signals inside the run (ABI 6 and later).
inline bool landlock_scopes_signals(i64 abi) { return abi >= k_landlock_abi_scopes; }

// ---- the kernel -------------------------------------------------------------------

// Start-up: asks the kernel for its ABI and keeps it; 0 when Landlock is missing or off.
i64 landlock_probe();
// The ABI runs use (what landlock_probe found).
i64 landlock_abi();

// A ruleset for one run with its prepared rows, their paths as the caller sees them (in the
// jail modes: the jail's init after its pivot). Returns the ruleset descriptor
// (close-on-exec) or -errno.
i64 landlock_prepare(JailMode mode, i64 abi);

// Descriptors plain basic mode keeps open for its rulesets' places (and /etc while it is
// read), at most.
i64 landlock_cached_places_max();

// Plain basic mode: the agent's workspace directory becomes read and write in the ruleset;
// it must be there, or the command would have nowhere to write. Returns 0 or -errno.
i64 landlock_add_workspace(int ruleset_fd, i64 abi, const char* workspace);

// Adds the bound rows, restricts the calling thread and closes the descriptor.
// No-new-privileges must be set already. Returns 0 or -errno.
i64 landlock_enter(int ruleset_fd, JailMode mode, i64 abi);
