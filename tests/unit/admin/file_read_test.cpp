#include "admin/file_read.h"
#include "runtime/base64.h"
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

struct ReadChecked {
    FileRefusal refusal;
    ReadRequest r;
};

ReadChecked check(const std::string& body)
{
    static char path[k_agent_path_max + 1];
    ReadChecked out {};
    out.refusal = read_read_request(body.data(), (i64)body.size(), path, &out.r);
    return out;
}

TEST(ReadReadRequest, FieldsAndTheirDefaults)
{
    ReadChecked plain = check(R"({"path":"/tmp/a"})");
    EXPECT_EQ(plain.refusal.fault, k_fault_none);
    EXPECT_EQ(plain.r.offset, 0);
    EXPECT_EQ(plain.r.length, -1);
    EXPECT_FALSE(plain.r.base64);
    ReadChecked part = check(R"({"path":"/tmp/a","offset":10,"length":0,"encoding":"base64"})");
    EXPECT_EQ(part.refusal.fault, k_fault_none);
    EXPECT_EQ(part.r.offset, 10);
    EXPECT_EQ(part.r.length, 0);
    EXPECT_TRUE(part.r.base64);
    EXPECT_EQ(check(R"({"path":"/tmp/a","offset":-1})").refusal.fault, k_fault_bad_offset);
    EXPECT_EQ(check(R"({"path":"/tmp/a","offset":"3"})").refusal.fault, k_fault_bad_offset);
    EXPECT_EQ(check(R"({"path":"/tmp/a","length":1.5})").refusal.fault, k_fault_bad_length);
    EXPECT_EQ(check(R"({"path":"/tmp/a","length":99999999999999999999})").refusal.fault, k_fault_bad_length);
    EXPECT_EQ(check(R"({"path":"/tmp/a","encoding":"hex"})").refusal.fault, k_fault_bad_encoding);
    EXPECT_EQ(check(R"({"offset":1})").refusal.fault, k_fault_missing_path);
}

TEST(Utf8WholePrefix, LeavesACutSequenceForTheNextPart)
{
    struct Case {
        const char* bytes;
        i64 whole;
    } cases[] = {
        { "abc", 3 },
        { "ab\xc3", 2 },
        { "ab\xc3\xa9", 4 },
        { "a\xe2\x82", 1 },
        { "a\xe2\x82\xac", 4 },
        { "a\xf0\x9f\x98", 1 },
        { "a\xf0\x9f\x98\x80", 5 },
        { "\xc3", 1 }, // a part must not shrink to nothing
        { "ab\xff", 3 }, // no sequence to wait for
        { "a\x80\x80\x80", 4 },
    };
    for (const Case& c : cases)
        EXPECT_EQ(utf8_whole_prefix(c.bytes, text_length(c.bytes)), c.whole) << c.bytes;
}

struct Built {
    i64 len;
    i64 escaped;
    std::string text;
};

Built build(const std::string& content, bool base64, i64 file_max, bool eof = true)
{
    std::vector<char> out((size_t)read_answer_size(file_max));
    ReadRequest r { { "/tmp/f", 6 }, 2, -1, base64 };
    Built b { 0, 0, "" };
    b.len = build_read_answer(out.data(), file_max, r, 99, content.data(), (i64)content.size(), eof, &b.escaped);
    if (b.len >= 0)
        b.text.assign(out.data(), (size_t)b.len);
    return b;
}

TEST(BuildReadAnswer, TextSaysWhenItReplacedBytes)
{
    EXPECT_EQ(build("hi\n", false, 4096).text,
        R"({"ok":true,"path":"/tmp/f","size":99,"offset":2,"bytes":3,"encoding":"utf-8","content":"hi\n","eof":true})");
    EXPECT_EQ(build("a\xff", false, 4096, false).text,
        R"({"ok":true,"path":"/tmp/f","size":99,"offset":2,"bytes":2,"encoding":"utf-8","content":"a)"
        "\xEF\xBF\xBD"
        R"(","eof":false,"lossy":true})");
    EXPECT_EQ(build(std::string("\x00\xff", 2), true, 4096).text,
        R"({"ok":true,"path":"/tmp/f","size":99,"offset":2,"bytes":2,"encoding":"base64","content":"AP8=","eof":true})");
}

TEST(BuildReadAnswer, WorstCasesFitOrAreRefused)
{
    const i64 file_max = 4096;
    // Base64 of the most bytes a read returns always fits.
    Built binary = build(std::string((size_t)file_max, '\x01'), true, file_max);
    ASSERT_GE(binary.len, 0);
    EXPECT_LE(binary.len, read_answer_size(file_max));
    // Text whose escapes pass the room is refused with its exact length.
    Built controls = build(std::string((size_t)file_max, '\x01'), false, file_max);
    EXPECT_EQ(controls.len, -1);
    EXPECT_EQ(controls.escaped, k_json_string_max(file_max));
    // Text that fills the room exactly fits, with the widest path and numbers besides.
    i64 room = read_content_room(file_max);
    std::string fills((size_t)(room - 2) / 2, '\n');
    std::vector<char> out((size_t)read_answer_size(file_max));
    std::string path(k_agent_path_max, '\x01');
    ReadRequest r { { path.data(), k_agent_path_max }, 9223372036854775807L, -1, false };
    i64 escaped = 0;
    i64 len = build_read_answer(out.data(), file_max, r, 9223372036854775807L, fills.data(), (i64)fills.size(), false, &escaped);
    EXPECT_EQ(escaped, room);
    ASSERT_GE(len, 0);
    EXPECT_LE(len, read_answer_size(file_max));
}

} // namespace
