#include "admin/agent_file.h"
#include <gtest/gtest.h>
#include <string>

namespace {

std::string verdict(const std::string& path)
{
    const FileRefusal* refusal = check_agent_path(path.data(), (i64)path.size());
    return refusal ? std::to_string(refusal->status) + " " + refusal->message : "ok";
}

TEST(CheckAgentPath, RulesInOrder)
{
    EXPECT_EQ(verdict(""), "400 missing path field");
    EXPECT_EQ(verdict("/etc/passwd"), "403 path must start with /tmp/");
    EXPECT_EQ(verdict("/tmp"), "403 path must start with /tmp/");
    EXPECT_EQ(verdict("/tmp/../x"), "403 path traversal not allowed");
    EXPECT_EQ(verdict("/tmp/a..b"), "403 path traversal not allowed");
    EXPECT_EQ(verdict("/tmp/dir/file.txt"), "ok");
}

} // namespace
