#include "core/state.h"
#include "exec/exec_fields.h"
#include "tests/unit/fresh_server.h"
#include <cstring>
#include <gtest/gtest.h>
#include <string>

namespace {

TEST(ResolveCwd, KeepsThePathInsideTmp)
{
    struct Case {
        const char* given;
        CwdStatus status;
        const char* resolved;
    };
    for (Case c : { Case { "", k_cwd_inside, "" }, { "/tmp", k_cwd_inside, "" }, { "/tmp/", k_cwd_inside, "" }, { "a", k_cwd_inside, "a" },
             { "/tmp/a/b", k_cwd_inside, "a/b" }, { "//tmp//a/./b/", k_cwd_inside, "a/b" }, { "a/b/../c", k_cwd_inside, "a/c" },
             { "./a/..", k_cwd_inside, "" }, { "..", k_cwd_outside, "" }, { "/tmp/..", k_cwd_outside, "" },
             { "/tmp/../tmp/a", k_cwd_outside, "" }, { "a/../../tmp", k_cwd_outside, "" }, { "/", k_cwd_outside, "" },
             { "/etc", k_cwd_outside, "" }, { "/tmpx", k_cwd_outside, "" }, { "/../tmp", k_cwd_outside, "" }, { "tmp", k_cwd_inside, "tmp" } }) {
        char out[k_cwd_max + 1];
        CwdPath path = resolve_cwd(c.given, (i64)strlen(c.given), out);
        EXPECT_EQ(path.status, c.status) << c.given;
        if (path.status == k_cwd_inside)
            EXPECT_EQ(std::string(out, path.len), c.resolved) << c.given;
    }
    char out[k_cwd_max + 1];
    std::string longest(k_cwd_max, 'd');
    EXPECT_EQ(resolve_cwd(longest.data(), (i64)longest.size(), out).len, k_cwd_max);
    std::string over = "/tmp/" + longest + "/e";
    EXPECT_EQ(resolve_cwd(over.data(), (i64)over.size(), out).status, k_cwd_too_long);
}

// read_exec_fields and list_ignored_fields on a body, in an arena of the heap.
struct ExecFieldsTest : FreshServer {
    ExecFields fields {};
    char message[k_field_message_max] = {};
    std::string last;
    std::string read(const std::string& json)
    {
        last = json;
        i64 n = read_exec_fields(last.data(), (i64)last.size(), state.timeout_ms, &fields, message);
        return n == 0 ? "" : n < 0 ? "no memory" : std::string(message, n);
    }
    std::string env() { return std::string(fields.env.ptr, (size_t)fields.env.len); }
};

TEST_F(ExecFieldsTest, DefaultsWhenAbsentOrNull)
{
    EXPECT_EQ(read(R"({"cmd":"ls","cwd":null,"env":null,"stdin":null,"timeout_ms":null,"merge_stderr":null})"), "");
    EXPECT_FALSE(fields.merge_stderr);
    EXPECT_EQ(fields.cwd.len, 0);
    EXPECT_EQ(fields.env_count, 0);
    EXPECT_EQ(fields.stdin_data.ptr, nullptr);
    EXPECT_EQ(fields.timeout_ms, 0);
}

TEST_F(ExecFieldsTest, ReadsEachMember)
{
    EXPECT_EQ(read(R"({"merge_stderr":true,"cwd":"/tmp/src/./x/..","env":{"A":"1","B_2":"x=y z","C":""},"stdin":"hi\n","timeout_ms":1500})"), "");
    EXPECT_TRUE(fields.merge_stderr);
    EXPECT_EQ(std::string(fields.cwd.ptr, fields.cwd.len), "src");
    EXPECT_EQ(env(), std::string("A=1\0B_2=x=y z\0C=\0", 17));
    EXPECT_EQ(fields.env_count, 3);
    EXPECT_EQ(std::string(fields.stdin_data.ptr, fields.stdin_data.len), "hi\n");
    EXPECT_EQ(fields.timeout_ms, 1500);
    EXPECT_EQ(read(R"({"stdin":"AAEC/w==","stdin_encoding":"base64"})"), "");
    EXPECT_EQ(std::string(fields.stdin_data.ptr, fields.stdin_data.len), std::string("\0\1\2\xff", 4));
    EXPECT_EQ(read(R"({"stdin":"","stdin_encoding":"utf-8","timeout_ms":5000})"), "");
    EXPECT_NE(fields.stdin_data.ptr, nullptr);
    EXPECT_EQ(fields.stdin_data.len, 0);
}

TEST_F(ExecFieldsTest, RefusesWhatItCannotTakeAsGiven)
{
    struct Case {
        const char* json;
        const char* message;
    };
    for (Case c : {
             Case { R"({"merge_stderr":1})", "merge_stderr must be true or false" },
             { R"({"cwd":5})", "cwd must be a string" },
             { R"({"cwd":"../etc"})", "cwd must be inside the workspace (/tmp)" },
             { R"({"cwd":"a\u0000"})", "cwd must not contain a zero byte" },
             { R"({"env":["A=1"]})", "env must be an object whose values are strings" },
             { R"({"env":{"A":1}})", "env values must be strings" },
             { R"({"env":{"1A":"x"}})", "env variable names must match [A-Za-z_][A-Za-z0-9_]*: 1A" },
             { R"({"env":{"A-B":"x"}})", "env variable names must match [A-Za-z_][A-Za-z0-9_]*: A-B" },
             { R"({"env":{"":"x"}})", "env variable names must match [A-Za-z_][A-Za-z0-9_]*: " },
             { R"({"env":{"LD_PRELOAD":"/x.so"}})", "env variable LD_PRELOAD is not allowed" },
             { R"({"env":{"PATH":"/x"}})", "env variable PATH is set by the server" },
             { R"({"env":{"HOME":"/x"}})", "env variable HOME is set by the server" },
             { R"({"env":{"A":"1","B":"2","A":"3"}})", "env variable A is given twice" },
             { R"({"env":{"A":"x\u0000y"}})", "env variable A must not contain a zero byte" },
             { R"({"stdin":7})", "stdin must be a string" },
             { R"({"stdin":"x","stdin_encoding":"hex"})", R"(stdin_encoding must be "utf-8" or "base64")" },
             { R"({"stdin":"a*b=","stdin_encoding":"base64"})", "stdin is not valid Base64" },
             { R"({"stdin":"QQ=A","stdin_encoding":"base64"})", "stdin is not valid Base64" },
             { R"({"timeout_ms":0})", "timeout_ms must be a whole number of milliseconds, at least 1" },
             { R"({"timeout_ms":1.5})", "timeout_ms must be a whole number of milliseconds, at least 1" },
             { R"({"timeout_ms":"100"})", "timeout_ms must be a whole number of milliseconds, at least 1" },
             { R"({"timeout_ms":5001})", "timeout_ms 5001 is over the limit of 5000 for this profile" },
         })
        EXPECT_EQ(read(c.json), c.message) << c.json;
    std::string name(100, 'N');
    EXPECT_EQ(read(R"({"env":{"LD_)" + name + R"(":""}})"), "env variable LD_" + name.substr(0, 61) + "... (103 bytes) is not allowed");
}

TEST_F(ExecFieldsTest, BoundsEnvAndStdinAtTheirLimits)
{
    // Entries of 1 + 1 + 8190 + 1 bytes: four fill 32,772 bytes, one past the limit.
    std::string value(8190, 'v');
    std::string three = R"({"env":{"A":")" + value + R"(","B":")" + value + R"(","C":")" + value + R"(")";
    std::string fits = three + R"(,"D":")" + value.substr(4) + R"("}})";
    EXPECT_EQ(read(fits), "");
    EXPECT_EQ(fields.env.len, k_env_bytes_max);
    EXPECT_EQ(fields.env_count, 4);
    EXPECT_EQ(read(three + R"(,"D":")" + value + R"(","E":"e"}})"), "env is too large (32776 bytes, limit 32768)");
    std::string most(k_stdin_max, 's');
    EXPECT_EQ(read(R"({"stdin":")" + most + R"("})"), "");
    EXPECT_EQ(fields.stdin_data.len, k_stdin_max);
    EXPECT_EQ(read(R"({"stdin":")" + most + R"(s"})"), "stdin is too large (1048577 bytes, limit 1048576)");
    std::string encoded((size_t)base64_len(k_stdin_max + 3), 'Q');
    EXPECT_EQ(read(R"({"stdin_encoding":"base64","stdin":")" + encoded + R"("})"), "stdin is too large (1048581 bytes, limit 1048576)");
}

TEST(ListIgnoredFields, NamesUnknownMembersInOrderAndCountsTheRest)
{
    auto list = [](const std::string& json) {
        IgnoredFields ignored {};
        list_ignored_fields(json.data(), (i64)json.size(), &ignored);
        std::string names;
        for (i64 i = 0; i < ignored.count; i++)
            names += std::string(ignored.names[i], ignored.lens[i]) + ",";
        return names + std::to_string(ignored.more);
    };
    EXPECT_EQ(list(R"({"cmd":"ls","timeout":5,"merge_stderr":true,"cwd":"/tmp","env":{},"stdin":"","stdin_encoding":"utf-8",)"
                   R"("timeout_ms":1,"tokens_in":1,"tokens_out":2,"model":"m","Cwd":"x","c\u006dd2":1})"),
        "timeout,Cwd,cmd2,0");
    std::string many = "{";
    for (int i = 0; i < 20; i++)
        many += "\"f" + std::to_string(i) + "\":0,";
    many += "\"" + std::string(65, 'L') + "\":0,\"" + std::string(64, 'l') + "\":0}";
    std::string listed = list(many);
    EXPECT_EQ(listed.substr(0, 12), "f0,f1,f2,f3,");
    // f16 to f19 and both long names are counted once sixteen are listed.
    EXPECT_EQ(listed.substr(listed.size() - 5), "f15,6");
    // A name of 64 bytes is listed whole; one of 65 is only counted.
    EXPECT_EQ(list("{\"" + std::string(65, 'L') + "\":0,\"" + std::string(64, 'l') + "\":0}"), std::string(64, 'l') + ",1");
}

} // namespace
