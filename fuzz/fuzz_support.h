// What every fuzz target shares: a copy of the input in an allocation of exactly its
// length (plus optional slack the code under test is allowed to use), a quiet console,
// and a check that stops the run with a message when an invariant breaks.
#pragma once
#include "runtime/heap.h"
#include "runtime/types.h"
#include <fcntl.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

struct ExactCopy {
    char* bytes;
    i64 len;
    // Copies at most max bytes of data (or zeroes when data is null) into a fresh
    // allocation of that length plus slack.
    ExactCopy(const void* data, size_t size, i64 max, i64 slack = 0)
    {
        len = (i64)size < max ? (i64)size : max;
        bytes = (char*)malloc((size_t)(len + slack) + (len + slack == 0));
        if (data)
            memcpy(bytes, data, (size_t)len);
        else
            memset(bytes, 0, (size_t)len);
        memset(bytes + len, 0, (size_t)slack);
    }
    ~ExactCopy() { free(bytes); }
    ExactCopy(const ExactCopy&) = delete;
    ExactCopy& operator=(const ExactCopy&) = delete;
};

inline void fuzz_check(bool ok, const char* what)
{
    if (ok)
        return;
    fprintf(stderr, "fuzz check failed: %s\n", what);
    abort();
}

// The server's console messages go to descriptor 1; libFuzzer reports on 2.
inline void fuzz_setup()
{
    if (!heap.heap_base)
        heap_init();
    int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null_fd >= 0) {
        dup2(null_fd, 1);
        close(null_fd);
    }
}
