// Reading a command's output pipe: kept bytes, dropped bytes, end of file.
#include "exec/output_capture.h"
#include "runtime/io.h"
#include "runtime/syscall.h"

static constinit char drain_area[k_drain_chunk] {};

i64 capture_read(OutputCapture* capture, int fd)
{
    i64 room = capture->keep - capture->captured;
    if (room <= 0)
        return sys_read(fd, drain_area, k_drain_chunk);
    i64 n = sys_read(fd, capture->out + capture->captured, room < k_drain_chunk ? room : k_drain_chunk);
    if (n > 0)
        capture->captured += n;
    return n;
}

i64 capture_until_eof(OutputCapture* capture, int fd, i64 deadline_ms)
{
    pollfd_k watch { fd, POLLIN, 0 };
    for (;;) {
        i64 left = deadline_ms - monotonic_ms();
        if (left <= 0)
            return 0;
        i64 ready = sys_poll(&watch, 1, (int)(left < 1000 ? left : 1000));
        if (ready <= 0)
            continue;
        i64 n = capture_read(capture, fd);
        if (n == 0 || (n < 0 && n != -EINTR && n != -EAGAIN))
            return 1;
    }
}
