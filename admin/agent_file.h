// Where an agent's "/tmp/..." path lives for the file endpoints: in the agent's workspace
// when runs are jailed (the same file its commands see) or confined by Landlock in plain
// basic mode (the workspace directory its commands start in), on the host's /tmp otherwise.
// The path rules both endpoints share are here too.
#pragma once
#include "runtime/types.h"

// A refused file request: its status, reason and error message.
struct FileRefusal {
    i64 status;
    const char* reason;
    const char* message;
};

// The path rules: present, under /tmp/, no "..". Returns the refusal or nullptr.
const FileRefusal* check_agent_path(const char* path, i64 path_len);

// Who an agent's files belong to: in a kernel-mode workspace the agent's uid, elsewhere
// the server's own.
u32 agent_file_owner(i64 slot);

// Opens the agent's file (flags and mode as for open; O_CLOEXEC and O_NOFOLLOW are
// added). In a workspace the open is relative to it, follows no symbolic link, never
// leaves it and acts as agent_file_owner (a file it makes belongs to the agent). On the
// host's /tmp no component may be a symbolic link. Returns a descriptor or -errno.
i64 open_agent_file(i64 slot, const char* path, int flags, int mode);
