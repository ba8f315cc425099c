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

i64 read_retry(int fd, void* buf, i64 len)
{
    for (;;) {
        i64 n = sys_read(fd, buf, len);
        if (n != -EINTR)
            return n;
    }
}

i64 read_small_file(const char* path, char* buf, i64 max)
{
    i64 fd = sys_open(path, O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0)
        return fd;
    i64 n = read_retry((int)fd, buf, max);
    sys_close((int)fd);
    return n > 0 ? n : 0;
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

void send_bytes(int conn, const char* bytes, i64 len)
{
    iovec_k iov { bytes, (u64)len };
    send_all(conn, &iov, 1);
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
