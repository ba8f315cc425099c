#include "runtime/fields.h"
#include <gtest/gtest.h>
#include <string>

static std::string post(const std::string& body) { return "POST /api/exec HTTP/1.1\r\nHost: x\r\n\r\n" + body; }

struct CmdResult {
    i64 result;
    std::string value;
};

static CmdResult cmd(const std::string& req, i64 capacity = 2000)
{
    std::string out(capacity + 1, 'X');
    i64 r = read_cmd_field(req.data(), (i64)req.size(), out.data(), capacity);
    return { r, r >= 0 ? std::string(out.data(), r) : "" };
}

TEST(ReadCmdField, ReadsValueWithOrWithoutBlanks)
{
    EXPECT_EQ(cmd(post(R"({"cmd":"ls -la"})")).value, "ls -la");
    EXPECT_EQ(cmd(post(R"({"cmd":"ls -la"})")).result, 6);
    EXPECT_EQ(cmd(post(R"({"cmd" : "ls -la"})")).result, 6);
    EXPECT_EQ(cmd(post("{\"cmd\":\t\"ls -la\"}")).result, -1);
}

TEST(ReadCmdField, EmptyMissingAndUnterminated)
{
    EXPECT_EQ(cmd(post(R"({"cmd":""})")).result, 0);
    EXPECT_EQ(cmd(post(R"({"cmd":"abc)")).result, 0);
    EXPECT_EQ(cmd(post(R"({"command":"ls"})")).result, -1);
    EXPECT_EQ(cmd("POST /api/exec HTTP/1.1\r\nHost: x\r\n{\"cmd\":\"ls\"}").result, -1);
    EXPECT_EQ(cmd(post(R"({"cmdline":"ls"})")).result, -1);
}

TEST(ReadCmdField, SkipsUnusableOccurrence) { EXPECT_EQ(cmd(post(R"({"cmd",1,"cmd":"pwd"})")).value, "pwd"); }

TEST(ReadCmdField, CutsToCapacityAndNoEscapes)
{
    std::string long_cmd(2500, 'a');
    CmdResult r = cmd(post("{\"cmd\":\"" + long_cmd + "\"}"));
    EXPECT_EQ(r.result, 2000);
    EXPECT_EQ(cmd(post(R"({"cmd":"echo \"hi\""})")).value, "echo \\");
    std::string out(11, 'X');
    std::string req = post(R"({"cmd":"0123456789abc"})");
    EXPECT_EQ(read_cmd_field(req.data(), (i64)req.size(), out.data(), 10), 10);
    EXPECT_EQ(out[10], 0);
}

static std::string str(const std::string& req, const std::string& key, i64 capacity = 100, i64* result = nullptr)
{
    std::string out(capacity + 1, 'X');
    i64 r = read_string_field(req.data(), (i64)req.size(), key.data(), (i64)key.size(), out.data(), capacity);
    if (result)
        *result = r;
    EXPECT_EQ(out[r], 0);
    return std::string(out.data(), r);
}

TEST(ReadStringField, DecodesEscapes)
{
    EXPECT_EQ(str(post(R"({"content":"a\nb"})"), "content"), "a\nb");
    EXPECT_EQ(str(post(R"({"content":"a\tb\"c\\d\qe"})"), "content"), "a\tb\"c\\dqe");
    EXPECT_EQ(str(post(R"({"content":"ab\)"), "content"), "ab");
}

TEST(ReadStringField, CapacityAndMissing)
{
    i64 r = 0;
    EXPECT_EQ(str(post("{\"name\":\"" + std::string(40, 'n') + "\"}"), "name", 31, &r), std::string(31, 'n'));
    EXPECT_EQ(r, 31);
    EXPECT_EQ(str(post(R"({"other":"x"})"), "name", 31, &r), "");
    EXPECT_EQ(r, 0);
    EXPECT_EQ(str(post(R"({"name":)"), "name", 31, &r), "");
    EXPECT_EQ(str(post(R"({"name":""})"), "name", 31, &r), "");
}

TEST(ReadStringField, ValueStartsAtNextQuoteWherever) { EXPECT_EQ(str(post(R"({"path":42,"content":"x"})"), "path"), "content"); }

static i64 num(const std::string& body, const std::string& key)
{
    std::string req = post(body);
    return read_number_field(req.data(), (i64)req.size(), key.data(), (i64)key.size());
}

TEST(ReadNumberField, ReadsDigitsOnly)
{
    EXPECT_EQ(num(R"({"timeout": 3000})", "timeout"), 3000);
    EXPECT_EQ(num(R"({"timeout":-5})", "timeout"), 0);
    EXPECT_EQ(num(R"({"timeout":"3000"})", "timeout"), 0);
    EXPECT_EQ(num(R"({"other":1})", "timeout"), -1);
    EXPECT_EQ(num(R"({"timeout":12.5})", "timeout"), 12);
    EXPECT_GT(num(R"({"timeout":99999999999999999999999})", "timeout"), 0);
}

namespace {

std::string header(const std::string& req, const char* name)
{
    ByteSpan value {};
    if (!find_header(req.data(), (i64)req.size(), name, &value))
        return "<none>";
    return std::string(value.ptr, value.len);
}

TEST(FindHeader, SearchesTheHeaderBlockOnlyWithoutRegardToCase)
{
    std::string req = "POST /x HTTP/1.1\r\nHost: a\r\ncontent-TYPE:  text/plain \r\nX-Empty:\r\n\r\nOrigin: body";
    EXPECT_EQ(header(req, "Content-Type"), "text/plain");
    EXPECT_EQ(header(req, "host"), "a");
    EXPECT_EQ(header(req, "X-Empty"), "");
    EXPECT_EQ(header(req, "Origin"), "<none>");
    EXPECT_EQ(header("Host: a\r\n\r\n", "Host"), "<none>"); // the request line is no header
    EXPECT_EQ(header("GET / HTTP/1.1\nHost: b\n", "Host"), "b");
    EXPECT_EQ(header("GET / HTTP/1.1\r\nHostname: c\r\nHost: d\r\n\r\n", "Host"), "d");
}

} // namespace
