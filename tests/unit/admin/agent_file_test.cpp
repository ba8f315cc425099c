#include "admin/agent_file.h"
#include "runtime/abi.h"
#include <gtest/gtest.h>
#include <string>

namespace {

std::string verdict(const std::string& path, bool directory_allowed = false)
{
    FileFault fault = check_agent_path(path.data(), (i64)path.size(), directory_allowed);
    FileRefusal refusal { fault, { path.data(), (i64)path.size() }, 0, 0, 0 };
    if (fault == k_fault_none)
        return "ok";
    char out[k_file_refusal_size];
    return std::to_string(file_fault_status(fault)) + " " + std::string(out, (size_t)build_file_refusal(out, refusal));
}

TEST(CheckAgentPath, RulesInOrder)
{
    EXPECT_EQ(verdict(""), R"(400 {"ok":false,"error":"missing path field"})");
    EXPECT_EQ(verdict("/etc/passwd"), R"(403 {"ok":false,"error":"path must start with /tmp/"})");
    EXPECT_EQ(verdict("/tmp"), R"(403 {"ok":false,"error":"path must start with /tmp/"})");
    EXPECT_EQ(verdict("/tmp", true), "ok");
    EXPECT_EQ(verdict("/tmpx", true), R"(403 {"ok":false,"error":"path must start with /tmp/"})");
    EXPECT_EQ(verdict("/tmp/../x"), R"(403 {"ok":false,"error":"path traversal not allowed"})");
    EXPECT_EQ(verdict("/tmp/a..b"), R"(403 {"ok":false,"error":"path traversal not allowed"})");
    EXPECT_EQ(verdict(std::string("/tmp/a\0b", 8)), R"(400 {"ok":false,"error":"path must not contain a NUL byte"})");
    EXPECT_EQ(verdict("/tmp/dir/file.txt"), "ok");
}

struct PathRead {
    FileRefusal refusal;
    std::string path;
};

PathRead read_path(const std::string& body, const char* fallback = nullptr)
{
    char path[k_agent_path_max + 1];
    i64 len = -1;
    FileRefusal refusal = read_agent_path(body.data(), (i64)body.size(), path, &len, fallback, fallback != nullptr);
    EXPECT_EQ(path[len], 0);
    return { refusal, std::string(path, (size_t)len) };
}

TEST(ReadAgentPath, DecodesRefusesLongPathsAndTakesTheFallback)
{
    EXPECT_EQ(read_path(R"({"path":"\/tmp\/caf\u00e9"})").path, "/tmp/caf\xc3\xa9");
    EXPECT_EQ(read_path(R"({"path":null})").refusal.fault, k_fault_missing_path);
    EXPECT_EQ(read_path(R"({"x":{"path":"/tmp/a"}})").refusal.fault, k_fault_missing_path);
    std::string longest = "/tmp/" + std::string(k_agent_path_max - 5, 'n');
    EXPECT_EQ(read_path("{\"path\":\"" + longest + "\"}").path, longest);
    PathRead over = read_path("{\"path\":\"" + longest + "n\"}");
    EXPECT_EQ(over.refusal.fault, k_fault_path_too_long);
    EXPECT_EQ(over.refusal.size, 251);
    EXPECT_EQ(over.refusal.limit, 250);
    PathRead fallback = read_path("{}", "/tmp");
    EXPECT_EQ(fallback.refusal.fault, k_fault_none);
    EXPECT_EQ(fallback.path, "/tmp");
}

std::string message(const FileRefusal& refusal)
{
    char out[k_file_refusal_size];
    i64 len = build_file_refusal(out, refusal);
    EXPECT_LE(len, k_file_refusal_size);
    return std::string(out, (size_t)len);
}

TEST(BuildFileRefusal, NamesTheCause)
{
    const char* path = "/tmp/a/b";
    EXPECT_EQ(message({ k_fault_no_directory, { path, 6 }, 0, 0, 0 }), R"({"ok":false,"error":"no such directory: /tmp/a"})");
    EXPECT_EQ(message({ k_fault_file_too_large, {}, 8388609, 8388608, 0 }),
        R"j({"ok":false,"error":"file too large (8388609 bytes, limit 8388608)"})j");
    EXPECT_EQ(message({ k_fault_path_too_long, {}, 251, 250, 0 }), R"j({"ok":false,"error":"path too long (251 bytes, limit 250)"})j");
    EXPECT_EQ(message({ k_fault_failed, { path, 8 }, 0, 0, -EIO }),
        R"j({"ok":false,"error":"file system error on /tmp/a/b: Input/output error (EIO)"})j");
    EXPECT_EQ(message({ k_fault_full, { path, 8 }, 0, 0, -ENOSPC }), R"({"ok":false,"error":"workspace full"})");
    EXPECT_EQ(message({ k_fault_bad_encoding, {}, 0, 0, 0 }), R"({"ok":false,"error":"encoding must be \"utf-8\" or \"base64\""})");
    EXPECT_EQ(message({ k_fault_text_too_large, {}, 700, 600, 0 }),
        R"j({"ok":false,"error":"text answer too large (700 bytes, limit 600): read the file with \"encoding\":\"base64\", or in parts with offset and length"})j");
    EXPECT_EQ(file_fault_status(k_fault_full), 507);
    EXPECT_EQ(file_fault_status(k_fault_text_too_large), 413);
}

TEST(BuildFileRefusal, WorstCaseFits)
{
    // The longest path of control bytes in the longest message with a path, and the error
    // message with the longest path and error text.
    std::string path(k_agent_path_max, '\x01');
    std::string worst = message({ k_fault_hard_link, { path.data(), (i64)path.size() }, 0, 0, 0 });
    EXPECT_NE(worst.find("\\u0001\\u0001"), std::string::npos);
    std::string failed = message({ k_fault_failed, { path.data(), (i64)path.size() }, 0, 0, -9999 });
    EXPECT_NE(failed.find("error 9999"), std::string::npos);
    std::string sizes = message({ k_fault_text_too_large, {}, -9223372036854775807L, -9223372036854775807L, 0 });
    EXPECT_NE(sizes.find("offset and length"), std::string::npos);
}

} // namespace
