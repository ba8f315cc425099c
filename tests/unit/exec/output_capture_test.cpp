#include "exec/output_capture.h"
#include "runtime/io.h"
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

struct Pipe {
    int fds[2] = { -1, -1 };
    Pipe() { EXPECT_EQ(pipe(fds), 0); }
    ~Pipe()
    {
        close_write();
        if (fds[0] >= 0)
            close(fds[0]);
    }
    void close_write()
    {
        if (fds[1] >= 0)
            close(fds[1]);
        fds[1] = -1;
    }
};

std::string pattern(i64 len)
{
    std::string s;
    for (i64 i = 0; i < len; i++)
        s += (char)('a' + i % 26);
    return s;
}

// Writes total bytes of pattern(total), then closes the write end; *written tells how many
// the reader took before the writer gave up.
std::thread write_pattern(Pipe& p, i64 total, i64* written)
{
    return std::thread([&p, total, written] {
        std::string text = pattern(total);
        i64 done = 0;
        while (done < total) {
            ssize_t n = write(p.fds[1], text.data() + done, (size_t)(total - done));
            if (n <= 0)
                break;
            done += n;
        }
        *written = done;
        p.close_write();
    });
}

TEST(CaptureUntilEof, KeepsTheFirstBytesAndDrainsTheRest)
{
    Pipe p;
    i64 written = 0;
    std::thread writer = write_pattern(p, 3 * 1024 * 1024, &written);
    char out[10] = {};
    OutputCapture capture { out, 9, 0 };
    EXPECT_EQ(capture_until_eof(&capture, p.fds[0], monotonic_ms() + 10000), 1);
    writer.join();
    EXPECT_EQ(written, 3 * 1024 * 1024); // the writer never blocked on a full pipe
    EXPECT_EQ(capture.captured, 9);
    EXPECT_EQ(std::string(out, 9), pattern(9));
    EXPECT_EQ(out[9], 0); // nothing written past the kept bytes
}

TEST(CaptureUntilEof, KeepsEverythingThatFits)
{
    Pipe p;
    i64 written = 0;
    std::thread writer = write_pattern(p, 100000, &written);
    std::string out(200000, '\0');
    OutputCapture capture { out.data(), 199999, 0 };
    EXPECT_EQ(capture_until_eof(&capture, p.fds[0], monotonic_ms() + 10000), 1);
    writer.join();
    EXPECT_EQ(capture.captured, 100000);
    EXPECT_EQ(out.substr(0, 100000), pattern(100000));
}

TEST(CaptureUntilEof, GivesUpAtTheDeadlineWhileTheWriterStaysOpen)
{
    Pipe p;
    ASSERT_EQ(write(p.fds[1], "abc", 3), 3);
    char out[16] = {};
    OutputCapture capture { out, 15, 0 };
    i64 start = monotonic_ms();
    EXPECT_EQ(capture_until_eof(&capture, p.fds[0], start + 100), 0);
    i64 waited = monotonic_ms() - start;
    EXPECT_GE(waited, 100);
    EXPECT_LT(waited, 2000);
    EXPECT_EQ(std::string(out, capture.captured), "abc");
}

} // namespace
