#include "exec/exec_stream.h"
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

// A stream over buffers of its own, with a ring of the given size.
struct Fixture {
    std::vector<char> ring, text, event;
    ExecStream stream {};
    explicit Fixture(i64 capacity)
        : ring(capacity)
        , text(k_event_text_max + k_utf8_held_max)
        , event(k_stream_event_size)
    {
        exec_stream_init(&stream, ring.data(), capacity, text.data(), event.data());
    }
    // Every piece ready now, concatenated.
    std::string drain()
    {
        std::string out;
        for (;;) {
            StreamPiece piece = exec_stream_next(&stream);
            out.append(piece.ptr ? piece.ptr : "", piece.len);
            if (piece.len == 0 || piece.last)
                return out;
        }
    }
    void accept(i64 index, const std::string& bytes) { exec_stream_accept(&stream, index, bytes.data(), (i64)bytes.size()); }
};

std::string event(const char* name, const std::string& data) { return std::string("event: ") + name + "\ndata: " + data + "\n\n"; }

} // namespace

TEST(ExecStream, GivesOutputInOrderThenTheExitEventLast)
{
    Fixture f(4096);
    f.accept(0, "one\n");
    f.accept(1, "two\n");
    EXPECT_EQ(f.drain(), event("stdout", R"({"text":"one\n"})") + event("stderr", R"({"text":"two\n"})"));
    StreamPiece idle = exec_stream_next(&f.stream);
    EXPECT_EQ(idle.len, 0);
    EXPECT_FALSE(idle.last);
    f.accept(0, "three");
    exec_stream_answer(&f.stream, R"({"ok":true})", 11);
    EXPECT_EQ(f.drain(), event("stdout", R"({"text":"three"})") + event("exit", R"({"ok":true})"));
}

TEST(ExecStream, HoldsBackAUtf8SequenceCutBetweenReads)
{
    Fixture f(4096);
    f.accept(0, "caf\xC3");
    EXPECT_EQ(f.drain(), event("stdout", R"({"text":"caf"})"));
    f.accept(0, "\xA9");
    EXPECT_EQ(f.drain(), event("stdout", R"({"text":"é"})"));
    // A four-byte sequence in three reads, the first two holding only its start.
    f.accept(1, "\xF0\x9F");
    f.accept(1, "\x98");
    f.accept(1, "\x80!");
    EXPECT_EQ(f.drain(), event("stderr", R"({"text":"😀!"})"));
}

TEST(ExecStream, FlagsInvalidBytesAndFlushesAHeldStartAtTheEnd)
{
    Fixture f(4096);
    f.accept(0,
        "a\xFF"
        "b");
    f.accept(0, "x\xE2\x82");
    exec_stream_answer(&f.stream, "{}", 2);
    EXPECT_EQ(f.drain(),
        event("stdout", R"({"text":"a�b","lossy":true})") + event("stdout", R"({"text":"x"})") +
            event("stdout", R"({"text":"��","lossy":true})") + event("exit", "{}"));
}

TEST(ExecStream, SplitsLargeOutputIntoEventsOfBoundedText)
{
    Fixture f(4 * k_event_text_max);
    f.accept(0, std::string(k_event_text_max + 10, 'a'));
    std::string out = f.drain();
    EXPECT_EQ(out,
        event("stdout", "{\"text\":\"" + std::string(k_event_text_max, 'a') + "\"}") +
            event("stdout", "{\"text\":\"" + std::string(10, 'a') + "\"}"));
}

TEST(ExecStream, DropsWhatTheRingCannotHoldAndTellsTheReaderInOrder)
{
    Fixture f(64);
    f.accept(0, std::string(50, 'a'));
    // 9 bytes of room remain: 4 of these fit, the rest are dropped, as is all of the next.
    f.accept(0, std::string(20, 'b'));
    f.accept(0, std::string(30, 'c'));
    // Another stream's drop is told on its own.
    f.accept(1, "zz");
    EXPECT_EQ(f.drain(),
        event("stdout", "{\"text\":\"" + std::string(50, 'a') + "\"}") + event("stdout", R"({"text":"bbbb"})") +
            event("dropped", R"({"stream":"stdout","bytes":46})") + event("dropped", R"({"stream":"stderr","bytes":2})"));
    // Room comes back as the reader takes events; output accepted then goes after its
    // stream's drop, still in order.
    f.accept(0, "x");
    f.accept(0, std::string(100, 'y'));
    EXPECT_EQ(exec_stream_next(&f.stream).len, (i64)event("stdout", R"({"text":"x"})").size());
    EXPECT_EQ(exec_stream_next(&f.stream).len, (i64)event("stdout", "{\"text\":\"" + std::string(53, 'y') + "\"}").size());
    f.accept(0, "z");
    EXPECT_EQ(f.drain(), event("dropped", R"({"stream":"stdout","bytes":47})") + event("stdout", R"({"text":"z"})"));
}

TEST(ExecStream, ADropTakesTheHeldStartOfASequenceWithIt)
{
    // The record of "ab\xC3" leaves no room for more: everything after the cut is dropped.
    Fixture f(12);
    f.accept(0, "ab\xC3");
    f.accept(0, std::string(40, 'x'));
    EXPECT_EQ(f.drain(), event("stdout", R"({"text":"ab"})") + event("dropped", R"({"stream":"stdout","bytes":41})"));
}

TEST(ExecStream, LargestEventFitsItsBuffer)
{
    std::vector<char> out(k_stream_event_size);
    std::string text(k_event_text_max + k_utf8_held_max, '\x01');
    EXPECT_LE(build_output_event(out.data(), 1, text.data(), (i64)text.size()), k_stream_event_size);
    std::string invalid(k_event_text_max + k_utf8_held_max, '\xFF');
    EXPECT_LE(build_output_event(out.data(), 1, invalid.data(), (i64)invalid.size()), k_stream_event_size);
    EXPECT_LE(build_dropped_event(out.data(), 1, INT64_MAX), k_dropped_event_size);
}
