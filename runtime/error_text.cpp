// The errors that mount, namespace, seccomp and exec steps report in practice.
#include "runtime/error_text.h"
#include "runtime/abi.h"
#include "runtime/text.h"

struct ErrorName {
    i64 number;
    const char* name;
    const char* meaning;
};

static constexpr ErrorName k_error_names[] = {
    { EPERM, "EPERM", "Operation not permitted" },
    { ENOENT, "ENOENT", "No such file or directory" },
    { ESRCH, "ESRCH", "No such process" },
    { EINTR, "EINTR", "Interrupted system call" },
    { EIO, "EIO", "Input/output error" },
    { E2BIG, "E2BIG", "Argument list too long" },
    { EBADF, "EBADF", "Bad file descriptor" },
    { EAGAIN, "EAGAIN", "Resource temporarily unavailable" },
    { ENOMEM, "ENOMEM", "Cannot allocate memory" },
    { EACCES, "EACCES", "Permission denied" },
    { EFAULT, "EFAULT", "Bad address" },
    { EBUSY, "EBUSY", "Device or resource busy" },
    { EEXIST, "EEXIST", "File exists" },
    { ENOTDIR, "ENOTDIR", "Not a directory" },
    { EINVAL, "EINVAL", "Invalid argument" },
    { ENFILE, "ENFILE", "Too many open files in system" },
    { EMFILE, "EMFILE", "Too many open files" },
    { ENOSPC, "ENOSPC", "No space left on device" },
    { EROFS, "EROFS", "Read-only file system" },
    { ENOSYS, "ENOSYS", "Function not implemented" },
    { ELOOP, "ELOOP", "Too many levels of symbolic links" },
};

// Every meaning, a blank and its name in parentheses fit k_error_text_max.
static_assert([] {
    for (const ErrorName& row : k_error_names)
        if (text_length(row.meaning) + 2 + text_length(row.name) + 1 > k_error_text_max)
            return false;
    return true;
}());

static const ErrorName* find_error(i64 error)
{
    i64 number = error < 0 ? -error : error;
    for (const ErrorName& row : k_error_names)
        if (row.number == number)
            return &row;
    return nullptr;
}

static i64 append_error_number(char* buf, i64 pos, i64 error)
{
    pos = append_text(buf, pos, "error ");
    return append_decimal(buf, pos, error < 0 ? -error : error);
}

i64 append_error_name(char* buf, i64 pos, i64 error)
{
    const ErrorName* row = find_error(error);
    return row ? append_text(buf, pos, row->name) : append_error_number(buf, pos, error);
}

i64 append_error_text(char* buf, i64 pos, i64 error)
{
    const ErrorName* row = find_error(error);
    if (!row)
        return append_error_number(buf, pos, error);
    pos = append_text(buf, pos, row->meaning);
    pos = append_text(buf, pos, " (");
    pos = append_text(buf, pos, row->name);
    return append_byte(buf, pos, ')');
}
