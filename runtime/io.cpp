#include "runtime/io.h"

i64 write_all(int fd, const void* buf, i64 len)
{
    const char* p = (const char*)buf;
    i64 done = 0;
    while (done < len) {
        i64 n = sys_write(fd, p + done, len - done);
        if (n == -EINTR)
            continue;
        if (n <= 0)
            return n < 0 ? n : -EIO;
        done += n;
    }
    return done;
}

i64 now_seconds()
{
    timespec_k ts {};
    sys_clock_gettime(CLOCK_REALTIME, &ts);
    return ts.tv_sec;
}

i64 monotonic_ms()
{
    timespec_k ts {};
    sys_clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}
