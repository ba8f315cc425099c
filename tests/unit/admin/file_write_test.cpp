#include "admin/file_write.h"
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

struct Checked {
    const WriteRefusal* refusal;
    std::string path;
    std::string content;
};

Checked check(const std::string& body)
{
    std::string req = "POST /api/write HTTP/1.1\r\nHost: x\r\n\r\n" + body;
    std::vector<char> path(k_write_path_capacity + 1, 'P');
    std::vector<char> content(k_write_content_capacity + 1, 'C');
    i64 path_len = -1;
    i64 content_len = -1;
    const WriteRefusal* refusal = read_write_request(req.data(), (i64)req.size(), path.data(), &path_len, content.data(), &content_len);
    Checked out { refusal, std::string(path.data(), path_len), "" };
    if (!refusal) {
        EXPECT_EQ(content[content_len], 0);
        out.content.assign(content.data(), content_len);
    }
    return out;
}

std::string message(const Checked& c) { return c.refusal ? c.refusal->message : "none"; }

TEST(ReadWriteRequest, ChecksInOrder)
{
    EXPECT_EQ(message(check("{}")), "missing path field");
    EXPECT_EQ(message(check(R"({"path":""})")), "missing path field");
    EXPECT_EQ(message(check(R"({"path":"/etc/x"})")), "path must start with /tmp/");
    EXPECT_EQ(message(check(R"({"path":"/tmp/../etc/x"})")), "path traversal not allowed");
    EXPECT_EQ(message(check(R"({"path":"/tmp/a","content":""})")), "missing content field");
    EXPECT_EQ(message(check(R"({"path":"/tmp/a","content":"x"})")), "none");
    EXPECT_EQ(check(R"({"path":"/etc/x"})").refusal->status, 403);
    EXPECT_EQ(check(R"({"content":"x"})").refusal->status, 400);
}

TEST(ReadWriteRequest, PathPrefixIsExact)
{
    EXPECT_EQ(message(check(R"({"path":"tmp/x","content":"x"})")), "path must start with /tmp/");
    EXPECT_EQ(message(check(R"({"path":"/tmpx/y","content":"x"})")), "path must start with /tmp/");
    EXPECT_EQ(message(check(R"({"path":"/tmp","content":"x"})")), "path must start with /tmp/");
    EXPECT_EQ(message(check(R"({"path":"/TMP/x","content":"x"})")), "path must start with /tmp/");
    EXPECT_EQ(message(check(R"({"path":"/tmp/","content":"x"})")), "none");
    EXPECT_EQ(message(check(R"({"path":"/tmp/notes..txt","content":"x"})")), "path traversal not allowed");
    EXPECT_EQ(message(check(R"({"path":"/tmp/./a.b/c","content":"x"})")), "none");
}

TEST(ReadWriteRequest, PathIsCutBeforeTheChecks)
{
    std::string name(245, 'a');
    Checked c = check("{\"path\":\"/tmp/" + name + "../x\",\"content\":\"x\"}");
    EXPECT_EQ(c.refusal, nullptr);
    EXPECT_EQ(c.path, "/tmp/" + name);
    // An escaped slash decodes before the prefix test.
    EXPECT_EQ(check(R"({"path":"\/tmp\/a","content":"x"})").path, "/tmp/a");
}

TEST(ReadWriteRequest, ContentIsDecodedAndCut)
{
    EXPECT_EQ(check(R"({"path":"/tmp/a","content":"l1\nl2\tx \"q\" \\"})").content, "l1\nl2\tx \"q\" \\");
    std::string big(k_write_content_capacity + 500, 'z');
    Checked c = check("{\"path\":\"/tmp/a\",\"content\":\"" + big + "\"}");
    EXPECT_EQ(c.content.size(), (size_t)k_write_content_capacity);
}

} // namespace
