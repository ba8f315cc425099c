// The errors that mount, namespace, seccomp and exec steps report in practice.
#include "runtime/error_text.h"
#include "runtime/abi.h"
#include "runtime/text.h"

struct ErrorName {
    i64 number;
    const char* name;
};

static constexpr ErrorName k_error_names[] = {
    { EPERM, "EPERM" },
    { ENOENT, "ENOENT" },
    { ESRCH, "ESRCH" },
    { EINTR, "EINTR" },
    { EIO, "EIO" },
    { EBADF, "EBADF" },
    { EAGAIN, "EAGAIN" },
    { ENOMEM, "ENOMEM" },
    { EACCES, "EACCES" },
    { EFAULT, "EFAULT" },
    { EBUSY, "EBUSY" },
    { EEXIST, "EEXIST" },
    { ENOTDIR, "ENOTDIR" },
    { EINVAL, "EINVAL" },
    { EMFILE, "EMFILE" },
    { ENOSPC, "ENOSPC" },
    { EROFS, "EROFS" },
    { ENOSYS, "ENOSYS" },
    { ELOOP, "ELOOP" },
};

i64 append_error_name(char* buf, i64 pos, i64 error)
{
    i64 number = error < 0 ? -error : error;
    for (const ErrorName& row : k_error_names)
        if (row.number == number)
            return append_text(buf, pos, row.name);
    pos = append_text(buf, pos, "error ");
    return append_decimal(buf, pos, number);
}
