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

TEST(FrameRequest, BodyLimit)
{
    EXPECT_EQ(frame("POST / HTTP/1.1\r\nContent-Length: 196608\r\n\r\n").state, k_frame_incomplete);
    EXPECT_EQ(frame("POST / HTTP/1.1\r\nContent-Length: 196609\r\n\r\n").state, k_frame_body_too_large);
    EXPECT_EQ(frame("POST / HTTP/1.1\r\nContent-Length: 99999999999999999999999\r\n\r\n").state, k_frame_body_too_large);
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
