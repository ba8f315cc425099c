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

void send_all(int conn, iovec_k* iov, u64 count)
{
    msghdr_k msg {};
    msg.iov = iov;
    msg.iovlen = count;
    while (msg.iovlen > 0) {
        i64 sent = sys_sendmsg(conn, &msg, MSG_NOSIGNAL);
        if (sent == -EINTR)
            continue;
        if (sent <= 0)
            return;
        while (msg.iovlen > 0 && (u64)sent >= msg.iov[0].len) {
            sent -= (i64)msg.iov[0].len;
            msg.iov++;
            msg.iovlen--;
        }
        if (msg.iovlen > 0) {
            msg.iov[0].base = (const char*)msg.iov[0].base + sent;
            msg.iov[0].len -= (u64)sent;
        }
    }
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
