// Where the jail lives, and its preparation at start-up.
#pragma once
#include "runtime/types.h"

constexpr char k_jail_root[] = "/var/terox/jail";
constexpr char k_jail_tmp[] = "/var/terox/jail/tmp";

// A host tree and where the jail shows it, read-only.
struct JailBind {
    const char* source;
    const char* target;
};
inline constexpr JailBind k_jail_binds[] = {
    { "/bin", "/var/terox/jail/bin" },
    { "/usr/bin", "/var/terox/jail/usr/bin" },
    { "/usr/lib", "/var/terox/jail/usr/lib" },
    { "/lib", "/var/terox/jail/lib" },
    { "/lib64", "/var/terox/jail/lib64" },
};

// The first step of the preparation that failed: the bind's target and the negated errno;
// target nullptr when every step worked.
struct JailSetup {
    const char* failed_target;
    const char* failed_step;
    i64 error;
};

// As root: the jail's directories and read-only binds of the host's system trees. A host
// tree that does not exist (a host without /lib64) is skipped, not a failure.
JailSetup prepare_jail();

// Takes the jail's binds away again (at an orderly stop), so none outlives the server.
void release_jail();
