// Whole-file replacement for the server's own small files (configuration, policy): the
// new text goes to a temporary file beside the target, is flushed to disk, and is then
// renamed over the target, so a crash or a full disk leaves either the old file or the
// new one, never half of either. No symbolic link is followed anywhere on the way.
#pragma once
#include "runtime/types.h"

// Replaces dir/leaf with the len bytes of text, permissions exactly mode, by way of
// dir/tmp_leaf. leaf and tmp_leaf are plain names without a slash. Returns 0 on success,
// or a negative error when nothing was replaced (the temporary file is then removed).
i64 replace_file(const char* dir, const char* leaf, const char* tmp_leaf, const char* text, i64 len, int mode);

// Opens path without following a symbolic link in any of its components (openat2 with
// RESOLVE_NO_SYMLINKS and O_NOFOLLOW); O_CLOEXEC is always added. The descriptor, or a
// negative error.
i64 open_no_symlinks(const char* path, int flags, int mode);
