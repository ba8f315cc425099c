#include "exec/output_capture.h"
#include "runtime/io.h"
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

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

// Writes text in pieces of at most chunk bytes, then closes the write end; *written tells
// how many the reader took before the writer gave up.
std::thread write_text(Pipe& p, std::string text, i64* written, i64 chunk = 1 << 20)
{
    return std::thread([&p, text, written, chunk] {
        i64 done = 0;
        i64 total = (i64)text.size();
        while (done < total) {
            i64 piece = total - done < chunk ? total - done : chunk;
            ssize_t n = write(p.fds[1], text.data() + done, (size_t)piece);
            if (n <= 0)
                break;
            done += n;
        }
        *written = done;
        p.close_write();
    });
}

// The stream as the answer would give it, captured through a real pipe with buffers of
// exactly capture_buffer_size(capacity) bytes and a guard byte after them.
struct Captured {
    std::string text;
    CapturedStream stream;
    i64 written;
};

Captured capture(const std::string& input, i64 capacity, i64 chunk = 1 << 20)
{
    Pipe p;
    i64 written = 0;
    std::thread writer = write_text(p, input, &written, chunk);
    std::vector<char> out((size_t)capture_buffer_size(capacity) + 1, '\x7f');
    OutputCapture c { out.data(), capacity, 0 };
    EXPECT_EQ(capture_until_eof(&c, p.fds[0], monotonic_ms() + 20000), 1);
    writer.join();
    CapturedStream stream = capture_finish(&c);
    EXPECT_EQ(out.back(), '\x7f') << "written past the buffer";
    EXPECT_LE(stream.len, capture_buffer_size(capacity));
    return { std::string(out.data(), (size_t)stream.len), stream, written };
}

std::string marker(i64 omitted) { return "\n[... " + std::to_string(omitted) + " bytes omitted ...]\n"; }

TEST(CaptureFinish, KeepsAStreamThatFitsWhole)
{
    for (i64 len : { 0L, 1L, 99L, 100L }) {
        Captured c = capture(pattern(len), 100);
        EXPECT_EQ(c.text, pattern(len)) << len;
        EXPECT_EQ(c.stream.total, len);
        EXPECT_FALSE(c.stream.truncated);
    }
}

TEST(CaptureFinish, KeepsHeadAndTailAroundOneMarkerLine)
{
    // Sizes just past the capacity, past a whole turn of the ring, and far past it, in
    // small and large writes; the writer never blocks whatever it prints.
    struct Case {
        i64 len;
        i64 chunk;
    };
    for (Case k : { Case { 101, 1 << 20 }, { 151, 7 }, { 3 * 1024 * 1024 + 17, 1 << 20 }, { 1000, 1 } }) {
        std::string input = pattern(k.len);
        Captured c = capture(input, 100, k.chunk);
        EXPECT_EQ(c.written, k.len);
        EXPECT_EQ(c.text, input.substr(0, 50) + marker(k.len - 100) + input.substr((size_t)(k.len - 50))) << k.len;
        EXPECT_EQ(c.stream.total, k.len);
        EXPECT_TRUE(c.stream.truncated);
    }
}

TEST(CaptureFinish, AnOddCapacityKeepsTheLargerHalfAtTheEnd)
{
    std::string input = pattern(300);
    Captured c = capture(input, 101);
    EXPECT_EQ(c.text, input.substr(0, 50) + marker(199) + input.substr(249));
}

TEST(CaptureFinish, NeverCutsAUtf8SequenceInHalf)
{
    // "é" is two bytes and "€" three; the cuts fall inside them, and their pieces count
    // among the omitted bytes instead.
    std::string head = std::string(49, 'h') + "\xc3\xa9";
    std::string tail = "\xe2\x82\xac" + std::string(48, 't');
    std::string input = head + std::string(200, '-') + tail;
    Captured c = capture(input, 100);
    EXPECT_EQ(c.text, std::string(49, 'h') + marker((i64)input.size() - 49 - 48) + std::string(48, 't'));
    // Whole sequences at the cuts stay.
    input = std::string(48, 'h') + "\xc3\xa9" + std::string(200, '-') + "\xc3\xa9" + std::string(48, 't');
    c = capture(input, 100);
    EXPECT_EQ(c.text, input.substr(0, 50) + marker((i64)input.size() - 100) + input.substr(input.size() - 50));
}

TEST(CaptureFinish, ALargestMarkerFitsTheBuffer)
{
    std::vector<char> out((size_t)capture_buffer_size(4), 0);
    OutputCapture c { out.data(), 4, 0x7fffffffffffffff };
    CapturedStream stream = capture_finish(&c);
    std::string line = marker(0x7fffffffffffffff - 4);
    EXPECT_LE((i64)line.size(), k_omission_marker_max);
    EXPECT_EQ(stream.len, 4 + (i64)line.size());
    EXPECT_EQ(std::string(out.data() + 2, line.size()), line);
}

TEST(CaptureRead, DropsEverythingWithoutABuffer)
{
    Pipe p;
    ASSERT_EQ(write(p.fds[1], "abc", 3), 3);
    OutputCapture c { nullptr, 0, 0 };
    EXPECT_EQ(capture_read(&c, p.fds[0]), 3);
    EXPECT_EQ(c.total, 3);
    CapturedStream stream = capture_finish(&c);
    EXPECT_EQ(stream.len, 0);
    EXPECT_EQ(stream.total, 3);
}

TEST(CaptureUntilEof, GivesUpAtTheDeadlineWhileTheWriterStaysOpen)
{
    Pipe p;
    ASSERT_EQ(write(p.fds[1], "abc", 3), 3);
    std::vector<char> out((size_t)capture_buffer_size(16), 0);
    OutputCapture capture { out.data(), 16, 0 };
    i64 start = monotonic_ms();
    EXPECT_EQ(capture_until_eof(&capture, p.fds[0], start + 100), 0);
    i64 waited = monotonic_ms() - start;
    EXPECT_GE(waited, 100);
    EXPECT_LT(waited, 2000);
    EXPECT_EQ(std::string(out.data(), capture.total), "abc");
}

} // namespace
