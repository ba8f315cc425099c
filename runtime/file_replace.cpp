// The directory is opened once (as a path handle, links refused) and every later step
// works relative to it, so the temporary file, the rename and the clean-up all act on the
// same directory even if a name on the way is swapped meanwhile.
#include "runtime/file_replace.h"
#include "runtime/io.h"
#include "runtime/syscall.h"

i64 open_no_symlinks(const char* path, int flags, int mode)
{
    open_how_k how {};
    how.flags = (u64)(flags | O_NOFOLLOW | O_CLOEXEC);
    // The kernel refuses a mode with O_PATH or without O_CREAT.
    how.mode = (flags & O_CREAT) ? (u64)mode : 0;
    how.resolve = RESOLVE_NO_SYMLINKS;
    return sys_openat2(AT_FDCWD, path, &how);
}

// Writes, sets the mode and flushes the new file; 0 or a negative error.
static i64 fill_new_file(int fd, const char* text, i64 len, int mode)
{
    i64 result = write_all(fd, text, len);
    if (result < 0)
        return result;
    // The process umask must not narrow the mode the file is meant to have.
    result = sys_fchmod(fd, mode);
    if (result < 0)
        return result;
    return sys_fsync(fd);
}

i64 replace_file(const char* dir, const char* leaf, const char* tmp_leaf, const char* text, i64 len, int mode)
{
    i64 dir_fd = open_no_symlinks(dir, O_PATH | O_DIRECTORY, 0);
    if (dir_fd < 0)
        return dir_fd;
    // A temporary file left by an earlier crash would make the exclusive create fail.
    sys_unlinkat((int)dir_fd, tmp_leaf, 0);
    i64 fd = sys_openat((int)dir_fd, tmp_leaf, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd < 0) {
        sys_close((int)dir_fd);
        return fd;
    }
    i64 result = fill_new_file((int)fd, text, len, mode);
    sys_close((int)fd);
    if (result >= 0)
        result = sys_renameat((int)dir_fd, tmp_leaf, (int)dir_fd, leaf);
    if (result < 0)
        sys_unlinkat((int)dir_fd, tmp_leaf, 0);
    sys_close((int)dir_fd);
    return result < 0 ? result : 0;
}
