#include "admin/mcp_progress.h"
#include "runtime/json_reader.h"
#include <gtest/gtest.h>
#include <string.h>
#include <string>
#include <vector>

namespace {

std::string message_of(const std::vector<std::string>& pieces)
{
    ProgressTail tail {};
    for (const std::string& piece : pieces)
        progress_tail_accept(&tail, piece.data(), (i64)piece.size());
    std::vector<char> out(k_progress_message_max);
    return std::string(out.data(), build_progress_message(out.data(), tail));
}

const std::string k_cut = "\xE2\x80\xA6(";

} // namespace

TEST(BuildProgressMessage, ShowsShortOutputWhole)
{
    EXPECT_EQ(message_of({}), "");
    EXPECT_EQ(message_of({ "line1\n", "line2\n" }), "line1\nline2\n");
}

// Pieces larger than the ring and pieces that wrap it: the newest bytes, the rest counted.
TEST(BuildProgressMessage, ShowsTheNewestBytesAndCountsTheRest)
{
    std::string older(5000, 'a');
    std::string newest(k_progress_tail_bytes - 4, 'b');
    std::string message = message_of({ older, "0123", newest });
    EXPECT_EQ(message, k_cut + "5000 earlier bytes not shown)\n" + "0123" + newest);
    std::string wrapped = message_of({ std::string(3000, 'x'), std::string(3000, 'y'), "end" });
    EXPECT_EQ(wrapped, k_cut + "1907 earlier bytes not shown)\n" + std::string(1093, 'x') + std::string(3000, 'y') + "end");
}

// A character the tail's start cuts is dropped (and counted); one its end cuts waits.
TEST(BuildProgressMessage, NeverShowsACutCharacter)
{
    std::string euro = "\xE2\x82\xAC";
    std::string body(k_progress_tail_bytes - 2, 'z');
    std::string message = message_of({ "q" + euro, body });
    EXPECT_EQ(message, k_cut + "4 earlier bytes not shown)\n" + body);
    EXPECT_EQ(message_of({ "ab" + euro.substr(0, 2) }), "ab");
    EXPECT_EQ(message_of({ "ab" + euro.substr(0, 2), euro.substr(2) }), "ab" + euro);
}

TEST(BuildProgressMessage, SaysWhenBytesAreNotText)
{
    EXPECT_EQ(message_of({ "a\xFF"
                           "b" }),
        "(bytes that are not UTF-8 are shown as U+FFFD)\na\xFF"
        "b");
}

// The largest event: the longest token, a total of twenty digits, and a tail of control
// bytes that each escape to six.
TEST(BuildProgressEvent, TheWorstCaseFitsItsBufferAndParses)
{
    ProgressTail tail {};
    std::string control(k_progress_tail_bytes, '\x01');
    progress_tail_accept(&tail, control.data(), (i64)control.size());
    tail.total = 9000000000000000000;
    std::vector<char> message(k_progress_message_max);
    i64 message_len = build_progress_message(message.data(), tail);
    EXPECT_LE(message_len, k_progress_message_max);
    std::string token = "\"" + std::string(k_progress_token_max - 2, 't') + "\"";
    std::vector<char> event(k_progress_event_max);
    i64 len = build_progress_event(event.data(), { token.data(), (i64)token.size() }, k_i64_max, message.data(), message_len);
    EXPECT_LE(len, k_progress_event_max);
    std::string text(event.data(), len);
    ASSERT_EQ(text.rfind("event: message\ndata: ", 0), 0u);
    ASSERT_EQ(text.substr(text.size() - 2), "\n\n");
    std::string data = text.substr(21, text.size() - 23);
    EXPECT_EQ(data.find('\n'), std::string::npos);
    EXPECT_EQ(json_value_end(data.data(), (i64)data.size(), 0), (i64)data.size());
}

TEST(McpProgressMemory, StaysUnderTheBoundItsHeaderStates)
{
    EXPECT_LT(mcp_progress_memory(), 35 * 1024);
    EXPECT_GT(mcp_progress_memory(), k_progress_event_max + k_progress_message_max + k_progress_tail_bytes);
}

TEST(BuildProgressEvent, CarriesTheTokenAsSent)
{
    char event[256];
    i64 len = build_progress_event(event, { "7", 1 }, 2503, "hi\n", 3);
    EXPECT_EQ(std::string(event, len),
        "event: message\ndata: {\"jsonrpc\":\"2.0\",\"method\":\"notifications/progress\","
        "\"params\":{\"progressToken\":7,\"progress\":2503,\"message\":\"hi\\n\"}}\n\n");
}

namespace {

struct Progress {
    std::vector<char> message = std::vector<char>(k_progress_message_max);
    std::vector<char> event = std::vector<char>(k_progress_event_max);
    McpProgress progress {};
    Progress() { mcp_progress_init(&progress, { "\"p\"", 3 }, message.data(), event.data(), 1000); }
    std::string next(i64 now_ms)
    {
        StreamPiece piece = mcp_progress_next(&progress, now_ms);
        return std::string(piece.ptr ? piece.ptr : "", piece.len);
    }
    void output(const char* text) { progress_tail_accept(&progress.tail, text, (i64)strlen(text)); }
};

std::string progress_of(const std::string& event)
{
    i64 at = (i64)event.find("\"progress\":") + 11;
    return event.substr(at, event.find(',', at) - at);
}

} // namespace

// Quiet runs get a notification every k_progress_quiet_ms, output one after a gap; the
// source says when to ask again, and progress always grows.
TEST(McpProgressNext, PacesNotificationsByOutputAndSilence)
{
    Progress p;
    EXPECT_EQ(p.next(1000), "");
    EXPECT_EQ(p.progress.wake_ms, 1000 + k_progress_quiet_ms);
    std::string first = p.next(1000 + k_progress_quiet_ms);
    EXPECT_EQ(progress_of(first), std::to_string(k_progress_quiet_ms));
    EXPECT_NE(first.find(R"("message":"")"), std::string::npos) << first;
    p.output("built\n");
    i64 sent = 1000 + k_progress_quiet_ms;
    EXPECT_EQ(p.next(sent + k_progress_gap_ms - 1), "");
    EXPECT_EQ(p.progress.wake_ms, sent + k_progress_gap_ms);
    std::string second = p.next(sent + k_progress_gap_ms);
    EXPECT_NE(second.find(R"("message":"built\n")"), std::string::npos) << second;
    EXPECT_GT(std::stoll(progress_of(second)), std::stoll(progress_of(first)));
    static_assert(k_progress_quiet_ms < 5000, "clients that time out after 5 s of silence must hear sooner");
}

TEST(McpProgressNext, EndsWithTheResultAsOneEvent)
{
    Progress p;
    p.output("x");
    std::string result = R"({"jsonrpc":"2.0","id":1,"result":{}})";
    mcp_progress_answer(&p.progress, result.data(), (i64)result.size());
    std::string stream;
    for (int i = 0; i < 3; i++) {
        StreamPiece piece = mcp_progress_next(&p.progress, 1001);
        stream.append(piece.ptr, piece.len);
        EXPECT_EQ(piece.last, i == 2);
    }
    EXPECT_EQ(stream, "event: message\ndata: " + result + "\n\n");
    EXPECT_EQ(p.progress.wake_ms, 0);
}
