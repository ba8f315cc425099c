#include "core/state.h"
#include "server/request_framing.h"
#include <gtest/gtest.h>
#include <string>

namespace {

Frame frame(const std::string& bytes) { return frame_request(bytes.data(), (i64)bytes.size()); }

TEST(FrameRequest, WaitsForTheBlankLineAndTheWholeBody)
{
    EXPECT_EQ(frame("POST /api/exec HTTP/1.1\r\nContent-Length: 4\r\n").state, k_frame_incomplete);
    EXPECT_EQ(frame("POST /api/exec HTTP/1.1\r\nContent-Length: 4\r\n\r\n{\"").state, k_frame_incomplete);
    Frame done = frame("POST /api/exec HTTP/1.1\r\nContent-Length: 4\r\n\r\n{\"a\"");
    EXPECT_EQ(done.state, k_frame_complete);
    EXPECT_EQ(done.total, 50);
}

TEST(FrameRequest, TheHeaderIsReadableWhileTheBodyIsStillToCome)
{
    EXPECT_FALSE(frame("POST /api/exec HTTP/1.1\r\nContent-Length: 4\r\n").head_read);
    std::string bytes = "POST /api/exec?x=1 HTTP/1.1\r\nX-Agent: a\r\nContent-Length: 4\r\n\r\n{\"";
    Frame head = frame(bytes);
    EXPECT_EQ(head.state, k_frame_incomplete);
    ASSERT_TRUE(head.head_read);
    EXPECT_EQ(std::string(head.request.path.ptr, head.request.path.len), "/api/exec");
    EXPECT_EQ(std::string(head.request.query.ptr, head.request.query.len), "x=1");
    // The body that has come so far is not part of it: bytes end with the header block.
    EXPECT_EQ(head.request.bytes.len, (i64)bytes.size() - 2);
    EXPECT_EQ(head.request.body.len, 0);
    ByteSpan agent {};
    ASSERT_TRUE(request_header(head.request, "x-agent", &agent));
    EXPECT_EQ(std::string(agent.ptr, agent.len), "a");
    EXPECT_FALSE(request_header(head.request, "Content-Type", &agent));
}

TEST(FrameRequest, WithoutLengthTheRequestEndsAtTheBlankLine)
{
    Frame done = frame("GET /api/health HTTP/1.1\r\nHost: x\r\n\r\nleftover");
    EXPECT_EQ(done.state, k_frame_complete);
    EXPECT_EQ(done.total, 37);
}

TEST(FrameRequest, BytesPastTheBodyAreNotPartOfIt)
{
    EXPECT_EQ(frame("POST / HTTP/1.1\r\ncontent-LENGTH:2\r\n\r\n{}extra").total, 39);
}

TEST(FrameRequest, HeaderBlockLimit)
{
    std::string head = "GET / HTTP/1.1\r\nX-Pad: ";
    std::string fits = head + std::string(k_header_block_max - head.size() - 4, 'a') + "\r\n\r\n";
    EXPECT_EQ(frame(fits).state, k_frame_complete);
    std::string over = head + std::string(k_header_block_max - head.size() - 3, 'a') + "\r\n\r\n";
    EXPECT_EQ(frame(over).state, k_frame_header_too_large);
    EXPECT_EQ(frame(std::string(k_header_block_max, 'a')).state, k_frame_header_too_large);
    EXPECT_EQ(frame(std::string(k_header_block_max - 1, 'a')).state, k_frame_incomplete);
}

// The limit is the fixed room and the Base64 text of the largest file as configured.
TEST(FrameRequest, BodyLimitFollowsMaxFileBytes)
{
    state_init_defaults();
    auto announcing = [](i64 len) { return frame("POST / HTTP/1.1\r\nContent-Length: " + std::to_string(len) + "\r\n\r\n").state; };
    EXPECT_EQ(request_body_max(), 196608 + 11184812);
    EXPECT_EQ(announcing(196608 + 11184812), k_frame_incomplete);
    EXPECT_EQ(announcing(196608 + 11184813), k_frame_body_too_large);
    state.max_file_bytes = 4096;
    EXPECT_EQ(announcing(196608 + 5464), k_frame_incomplete);
    EXPECT_EQ(announcing(196608 + 5465), k_frame_body_too_large);
    EXPECT_EQ(request_buffer_size(), k_header_block_max + 196608 + 5464 + 1);
    EXPECT_EQ(frame("POST / HTTP/1.1\r\nContent-Length: 99999999999999999999999\r\n\r\n").state, k_frame_body_too_large);
    state_init_defaults();
}

TEST(ContentLengthOf, NameOnlyAtALineStart)
{
    std::string head = "POST / HTTP/1.1\r\nX-Content-Length: 9\r\nContent-Length:\t 12\r\n\r\n";
    EXPECT_EQ(content_length_of(head.data(), (i64)head.size()), 12);
    std::string none = "POST / HTTP/1.1\r\nContent-Length: x\r\n\r\n";
    EXPECT_EQ(content_length_of(none.data(), (i64)none.size()), 0);
}

} // namespace

namespace {

i64 expects(const std::string& bytes) { return expects_continue(bytes.data(), (i64)bytes.size()); }

TEST(ExpectsContinue, OnlyWhileTheAnnouncedBodyIsMissing)
{
    std::string head = "POST /api/write HTTP/1.1\r\nEXPECT: 100-Continue\r\nContent-Length: 2\r\n\r\n";
    EXPECT_EQ(expects(head), 1);
    EXPECT_EQ(expects(head + "{"), 1);
    EXPECT_EQ(expects(head + "{}"), 0);
    EXPECT_EQ(expects("POST / HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 2\r\n"), 0);
    EXPECT_EQ(expects("POST / HTTP/1.1\r\nExpect: 100-continue\r\n\r\n"), 0);
    EXPECT_EQ(expects("POST / HTTP/1.1\r\nX-Expect: 100-continue\r\nContent-Length: 2\r\n\r\n"), 0);
}

} // namespace

namespace {

std::string text(ByteSpan span) { return span.ptr ? std::string(span.ptr, span.len) : std::string("<none>"); }

// The request value of bytes that must frame whole.
struct Framed {
    std::string bytes;
    Frame frame;
    explicit Framed(std::string b) : bytes(std::move(b)), frame(frame_request(bytes.data(), (i64)bytes.size())) { }
    const Request& request() const { return frame.request; }
};

TEST(FrameRequest, SplitsTheRequestLineHeadersAndBody)
{
    Framed f("POST /api/audit?agent=a&b=c HTTP/1.1\r\nHost: x\r\nContent-Length: 2\r\n\r\n{}extra");
    ASSERT_EQ(f.frame.state, k_frame_complete);
    const Request& r = f.request();
    EXPECT_EQ(text(r.method), "POST");
    EXPECT_EQ(text(r.path), "/api/audit");
    EXPECT_EQ(text(r.query), "agent=a&b=c");
    EXPECT_EQ(text(r.headers), "Host: x\r\nContent-Length: 2\r\n");
    EXPECT_EQ(text(r.body), "{}");
    EXPECT_EQ(text(r.bytes), f.bytes.substr(0, f.bytes.size() - 5));
}

TEST(FrameRequest, QueryIsAbsentEmptyOrEverythingAfterTheFirstQuestionMark)
{
    struct Case {
        const char* line;
        const char* path;
        const char* query;
    };
    for (Case c : {
             Case { "GET /mcp HTTP/1.1", "/mcp", "<none>" },
             Case { "GET /mcp? HTTP/1.1", "/mcp", "" },
             Case { "GET /a?b?c=d HTTP/1.1", "/a", "b?c=d" },
             Case { "GET ?x HTTP/1.1", "", "x" },
             Case { "OPTIONS * HTTP/1.0", "*", "<none>" },
         }) {
        Framed f(std::string(c.line) + "\r\n\r\n");
        ASSERT_EQ(f.frame.state, k_frame_complete) << c.line;
        EXPECT_EQ(text(f.request().path), c.path) << c.line;
        EXPECT_EQ(text(f.request().query), c.query) << c.line;
        EXPECT_EQ(f.request().headers.len, 0) << c.line;
        EXPECT_EQ(f.request().body.len, 0) << c.line;
    }
}

TEST(FrameRequest, RequestLinesOfAnotherFormAreMalformed)
{
    for (const char* line : {
             "GET /api/health",              // no version
             "GET  /api/health HTTP/1.1",    // two blanks
             "GET /api/health HTTP/1.1 ",    // trailing blank
             "GET /api/health HTTP/11",      // version form
             "GET /api/health http/1.1",     // version case
             " GET / HTTP/1.1",              // leading blank
             "GET",                          // method alone
             "G(T / HTTP/1.1",               // method not a token
             "ABCDEFGHIJKLMNOPQ / HTTP/1.1", // method of 17 bytes
             "GET /a\tb HTTP/1.1",           // control byte in the target
             "GET /\x80 HTTP/1.1",           // non-ASCII byte in the target
             "",                             // no request line at all
         }) {
        EXPECT_EQ(Framed(std::string(line) + "\r\nHost: x\r\n\r\n").frame.state, k_frame_malformed) << line;
    }
    // A bare LF does not end the request line: the line runs on to the first CR LF.
    EXPECT_EQ(Framed("GET / HTTP/1.1\nHost: x\r\n\r\n").frame.state, k_frame_malformed);
    EXPECT_EQ(Framed("ABCDEFGHIJKLMNOP / HTTP/1.1\r\n\r\n").frame.state, k_frame_complete);
    // The line is judged once the header block has ended, before the body is awaited.
    EXPECT_EQ(Framed("GET /\r\nContent-Length: 50\r\n\r\n").frame.state, k_frame_malformed);
}

TEST(RequestHeader, ReadsOnlyTheHeaderLines)
{
    Framed f("GET /Host:%20x HTTP/1.1\r\nX-Host: a\r\nhost:  b \r\n\r\nHost: c");
    ASSERT_EQ(f.frame.state, k_frame_complete);
    ByteSpan value {};
    ASSERT_TRUE(request_header(f.request(), "Host", &value));
    EXPECT_EQ(text(value), "b");
    EXPECT_FALSE(request_header(f.request(), "Origin", &value));
    Framed bare("GET / HTTP/1.1\r\n\r\nHost: c\r\n\r\n");
    EXPECT_FALSE(request_header(bare.request(), "Host", &value));
}

} // namespace
