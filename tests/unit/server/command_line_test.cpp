#include "server/command_line.h"
#include <gtest/gtest.h>
#include <initializer_list>
#include <string>
#include <vector>

static CommandLine parse(std::initializer_list<const char*> words)
{
    std::vector<const char*> argv { "sandbox-server" };
    argv.insert(argv.end(), words);
    argv.push_back(nullptr);
    return parse_command_line((int)argv.size() - 1, argv.data());
}

TEST(ParseCommandLine, AcceptsEachAction)
{
    EXPECT_EQ(parse({}).action, k_action_serve);
    EXPECT_EQ(parse({ "--version" }).action, k_action_version);
    EXPECT_EQ(parse({ "--help" }).action, k_action_help);
    EXPECT_EQ(parse({ "--check" }).action, k_action_check);
}

TEST(ParseCommandLine, ReadsThePortInBothSpellings)
{
    EXPECT_EQ(parse({ "--port", "8080" }).port, 8080);
    EXPECT_EQ(parse({ "--port=1" }).port, 1);
    EXPECT_EQ(parse({ "--port", "65535", "--check" }).port, 65535);
    CommandLine check = parse({ "--check", "--port", "9000" });
    EXPECT_EQ(check.action, k_action_check);
    EXPECT_EQ(check.port, 9000);
    EXPECT_EQ(parse({}).port, 0);
}

TEST(ParseCommandLine, RefusesWhatItDoesNotKnow)
{
    struct Case {
        std::initializer_list<const char*> words;
        const char* argument;
    };
    for (const Case& c : std::initializer_list<Case> {
             { { "--bogus" }, "--bogus" },
             { { "-h" }, "-h" },
             { { "check" }, "check" },
             { { "--checks" }, "--checks" },
             { { "--port" }, nullptr },
             { { "--port", "0" }, "0" },
             { { "--port", "65536" }, "65536" },
             { { "--port", "123456" }, "123456" },
             { { "--port", "-1" }, "-1" },
             { { "--port", "" }, "" },
             { { "--port=8x" }, "8x" },
             { { "--port", "80", "--port", "81" }, nullptr },
             { { "--check", "--check" }, nullptr },
             { { "--help", "--version" }, nullptr },
             { { "--version", "--port", "80" }, nullptr },
         }) {
        CommandLine line = parse(c.words);
        EXPECT_EQ(line.action, k_action_refused) << *c.words.begin();
        EXPECT_NE(line.error, nullptr);
        if (c.argument == nullptr)
            EXPECT_EQ(line.argument, nullptr);
        else
            EXPECT_STREQ(line.argument, c.argument);
    }
}
