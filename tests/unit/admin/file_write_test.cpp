#include "admin/file_write.h"
#include "runtime/base64.h"
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

constexpr i64 k_file_max = 4096;

struct Checked {
    FileRefusal refusal;
    WriteRequest w;
    std::string path;
    std::string content;
};

Checked check(const std::string& body)
{
    std::vector<char> path(k_agent_path_max + 1, 'P');
    std::vector<char> content(body.size() + 1, 'C');
    Checked out {};
    out.refusal = read_write_request(body.data(), (i64)body.size(), path.data(), content.data(), (i64)body.size(), k_file_max, &out.w);
    if (out.refusal.fault == k_fault_none) {
        EXPECT_EQ(out.w.content.ptr, content.data());
        out.path.assign(out.w.path.ptr, (size_t)out.w.path.len);
        out.content.assign(content.data(), (size_t)out.w.content.len);
    }
    return out;
}

FileFault fault(const std::string& body) { return check(body).refusal.fault; }

TEST(ReadWriteRequest, ChecksInOrder)
{
    EXPECT_EQ(fault("{}"), k_fault_missing_path);
    EXPECT_EQ(fault(R"({"path":"/etc/x","content":1})"), k_fault_outside_tmp);
    EXPECT_EQ(fault(R"({"path":"/tmp/a"})"), k_fault_missing_content);
    EXPECT_EQ(fault(R"({"path":"/tmp/a","content":7})"), k_fault_missing_content);
    EXPECT_EQ(fault(R"({"path":"/tmp/a","content":"x","encoding":"latin1","mode":"9"})"), k_fault_bad_encoding);
    EXPECT_EQ(fault(R"({"path":"/tmp/a","content":"x","encoding":64})"), k_fault_bad_encoding);
    EXPECT_EQ(fault(R"({"path":"/tmp/a","content":"x","mode":"9","append":1})"), k_fault_bad_mode);
    EXPECT_EQ(fault(R"({"path":"/tmp/a","content":"x","mode":493})"), k_fault_bad_mode);
    EXPECT_EQ(fault(R"({"path":"/tmp/a","content":"x","mode":"4755"})"), k_fault_special_mode);
    EXPECT_EQ(fault(R"({"path":"/tmp/a","content":"x","append":"yes"})"), k_fault_bad_append);
    EXPECT_EQ(fault(R"({"path":"/tmp/a","content":"x!","encoding":"base64"})"), k_fault_bad_base64);
}

TEST(ReadWriteRequest, TakesEveryField)
{
    Checked c = check(R"({"path":"/tmp/a","content":"l1\nl2\t\"q\" \\ caf\u00e9 \u0000","mode":"0755","append":true})");
    ASSERT_EQ(c.refusal.fault, k_fault_none);
    static const char expected[] = "l1\nl2\t\"q\" \\ caf\xc3\xa9 \0";
    EXPECT_EQ(c.content, std::string(expected, sizeof(expected) - 1));
    EXPECT_EQ(c.w.mode, 0755);
    EXPECT_TRUE(c.w.append);
    Checked plain = check(R"({"content":"","path":"/tmp/empty","append":false})");
    ASSERT_EQ(plain.refusal.fault, k_fault_none);
    EXPECT_EQ(plain.content, "");
    EXPECT_EQ(plain.w.mode, -1);
    EXPECT_FALSE(plain.w.append);
    EXPECT_EQ(plain.path, "/tmp/empty");
    Checked binary = check(R"({"path":"/tmp/b","content":"AP8Q","encoding":"base64"})");
    EXPECT_EQ(binary.content, std::string("\x00\xff\x10", 3));
}

TEST(ReadWriteRequest, TheLimitCountsTheFilesBytes)
{
    // Escapes and base64 take more room in the body than in the file: the file's bytes count.
    std::string lines;
    for (i64 i = 0; i < k_file_max; i++)
        lines += "\\n";
    EXPECT_EQ(check(R"({"path":"/tmp/a","content":")" + lines + "\"}").content.size(), (size_t)k_file_max);
    Checked over = check(R"({"path":"/tmp/a","content":")" + lines + "x\"}");
    EXPECT_EQ(over.refusal.fault, k_fault_file_too_large);
    EXPECT_EQ(over.refusal.size, k_file_max + 1);
    EXPECT_EQ(over.refusal.limit, k_file_max);
    std::string bytes((size_t)k_file_max, '\xff');
    std::vector<char> text((size_t)base64_len(k_file_max + 1) + 1);
    base64_encode(bytes.data(), k_file_max, text.data());
    EXPECT_EQ(check(R"({"path":"/tmp/a","encoding":"base64","content":")" + std::string(text.data()) + "\"}").content, bytes);
    base64_encode((bytes + "x").data(), k_file_max + 1, text.data());
    Checked over64 = check(R"({"path":"/tmp/a","encoding":"base64","content":")" + std::string(text.data()) + "\"}");
    EXPECT_EQ(over64.refusal.fault, k_fault_file_too_large);
    EXPECT_EQ(over64.refusal.size, k_file_max + 1);
}

TEST(ParseFileMode, OctalTextOfThreeOrFourDigits)
{
    struct Case {
        const char* text;
        FileFault fault;
        i64 bits;
    } cases[] = {
        { "644", k_fault_none, 0644 },
        { "0755", k_fault_none, 0755 },
        { "0000", k_fault_none, 0 },
        { "777", k_fault_none, 0777 },
        { "4755", k_fault_special_mode, 0 },
        { "2755", k_fault_special_mode, 0 },
        { "1777", k_fault_special_mode, 0 },
        { "75", k_fault_bad_mode, 0 },
        { "00755", k_fault_bad_mode, 0 },
        { "0o755", k_fault_bad_mode, 0 },
        { "0855", k_fault_bad_mode, 0 },
        { "-755", k_fault_bad_mode, 0 },
        { "", k_fault_bad_mode, 0 },
    };
    for (const Case& c : cases) {
        FileMode mode = parse_file_mode(c.text, text_length(c.text));
        EXPECT_EQ(mode.fault, c.fault) << c.text;
        if (c.fault == k_fault_none)
            EXPECT_EQ(mode.bits, c.bits) << c.text;
    }
}

} // namespace
