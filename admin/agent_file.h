// Where an agent's "/tmp/..." path lives for the file endpoints: in the agent's workspace
// when runs are jailed (the same file its commands see) or confined by Landlock in plain
// basic mode (the workspace directory its commands start in), on the host's /tmp otherwise.
// What the three file endpoints share is here: the path rules, the walk to a path's
// directory (making the missing ones for a write), and their refusals with the messages
// that name the cause.
#pragma once
#include "runtime/error_text.h"
#include "runtime/text.h"
#include "runtime/types.h"

// Longest path a file request takes, "/tmp/" included.
constexpr i64 k_agent_path_max = 250;

// Why a file request is refused: one row each in the table of admin/agent_file.cpp.
enum FileFault : u8 {
    k_fault_none,
    // The request's fields.
    k_fault_missing_path,
    k_fault_outside_tmp,
    k_fault_traversal,
    k_fault_path_nul,
    k_fault_path_too_long,
    k_fault_missing_content,
    k_fault_bad_encoding,
    k_fault_bad_base64,
    k_fault_bad_mode,
    k_fault_special_mode,
    k_fault_bad_append,
    k_fault_bad_offset,
    k_fault_bad_length,
    k_fault_file_too_large,
    k_fault_text_too_large,
    // What the file system says.
    k_fault_no_file,
    k_fault_no_directory,
    k_fault_not_directory,
    k_fault_is_directory,
    k_fault_link,
    k_fault_not_regular,
    k_fault_hard_link,
    k_fault_foreign_owner,
    k_fault_denied,
    k_fault_full,
    k_fault_failed,
};

// A refusal and what its message names: the path (or the directory on its way that
// failed), a size and its limit, or the kernel's error.
struct FileRefusal {
    FileFault fault;
    ByteSpan path;
    i64 size;
    i64 limit;
    i64 error;
};

// The status a fault answers with.
i64 file_fault_status(FileFault fault);

// The refusal's answer, {"ok":false,"error":"..."}, into out (k_file_refusal_size bytes);
// returns its length. Pure.
i64 build_file_refusal(char* out, const FileRefusal& refusal);
// The longest message: a row's text and tail (k_fault_text_max together, checked against
// the table) with the separators of its detail, and a path, two numbers or an error text.
constexpr i64 k_fault_text_max = 168;
constexpr i64 k_file_message_max = k_fault_text_max + 24 + k_agent_path_max + 2 * k_decimal_max + k_error_text_max;
constexpr i64 k_file_refusal_size = 24 + 6 * k_file_message_max;

// Sends the refusal (its memory: one block of k_file_refusal_size and the header block).
void send_file_refusal(int conn, const FileRefusal& refusal);

// The path rules: present, under /tmp/ ("/tmp" itself too when directory_allowed: a list
// of the workspace), no "..". Returns k_fault_none or the rule broken.
FileFault check_agent_path(const char* path, i64 path_len, bool directory_allowed);

// Reads the "path" member of the JSON body into path (k_agent_path_max + 1 bytes, NUL
// after it) and applies the path rules; a path longer than k_agent_path_max is refused,
// never cut. fallback, when not null, stands for an absent member. Sets *path_len.
FileRefusal read_agent_path(const char* body, i64 body_len, char* path, i64* path_len, const char* fallback, bool directory_allowed);

// The "encoding" member of the JSON body: absent or "utf-8" (text) leaves *base64 false,
// "base64" sets it; anything else is k_fault_bad_encoding.
FileFault read_encoding_member(const char* body, i64 body_len, bool* base64);

// The JSON body of a raw request: the bytes after its header block (empty when none).
ByteSpan request_body(const char* req, i64 req_len);

// Who an agent's files belong to: in a kernel-mode workspace the agent's uid, elsewhere
// the server's own.
u32 agent_file_owner(i64 slot);

// The directory that holds a path's last name, opened (O_PATH) one name at a time from
// the agent's /tmp: no name is a symbolic link, none leaves the workspace, and in a
// kernel-mode workspace every step acts with the agent's ids. With make, missing
// directories are made on the way (mode 0755, the agent's, as its commands would make
// them). The last name is a NUL-terminated tail of path ("." when the path ends in "/").
struct AgentDir {
    // The directory's descriptor, or -errno.
    i64 fd;
    // When fd < 0: the path's first failed_len bytes name the directory that failed.
    i64 failed_len;
    const char* leaf;
};
AgentDir open_agent_dir(i64 slot, const char* path, i64 path_len, bool make);

// Opens leaf (a name from open_agent_dir) in dir with the agent's ids; flags and mode as
// for open, O_CLOEXEC added. A link is not followed (ELOOP). A descriptor or -errno.
i64 open_agent_leaf(i64 slot, int dir, const char* leaf, int flags, int mode);

// Removes the file leaf of dir with the agent's ids (a file the server made and could not fill).
void unlink_agent_leaf(i64 slot, int dir, const char* leaf);

// The refusal an open's error stands for. path is the whole path, failed_len the part
// that failed (as open_agent_dir reports it; path_len when the last name failed); a
// missing last name is no_file, or no_directory when a directory was wanted.
FileRefusal open_refusal(i64 error, const char* path, i64 path_len, i64 failed_len, bool directory_wanted);
