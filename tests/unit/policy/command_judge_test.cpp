#include "core/config.h"
#include "core/state.h"
#include "policy/command_judge.h"
#include "policy/rules.h"
#include "policy/word_matcher.h"
#include "tests/unit/fresh_server.h"
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

TEST(SensitiveSequence, ScreensPositionsUpToLengthMinusFour)
{
    auto s = [](const std::string& c) {
        const char* found = sensitive_sequence(c.data(), (i64)c.size());
        return std::string(found ? found : "-");
    };
    struct Case {
        const char* cmd;
        const char* found;
    };
    for (Case c : { Case { "cat /etc/passwd", "/etc/p" }, { "ls ~/.ssh/x", ".ssh/" }, { "echo $(id) ok", "$(" }, { "cat ../../x", ".." },
             { "eval ls", "eval" }, { "echo `id`x", "`" }, { "ls /proc/1", "/proc/" }, { "cat /etc/hosts", "/etc/h" }, { "cat ../x", ".." },
             { "ls /etc/", "-" }, { "cd ..", "-" }, { "a`b", "-" }, { "ls /etc/x", "-" }, { "echo eva", "-" }, { "ls /proc", "-" } })
        EXPECT_EQ(s(c.cmd), c.found) << c.cmd;
}

// A verdict as text: "ok", or the kind, the rule and (words mode) the command.
struct Judge : FreshServer {
    std::string judge(const std::string& cmd, i64 profile, bool host_proc = false)
    {
        std::vector<char> scratch((size_t)judge_scratch_size((i64)cmd.size()));
        Judgement j = judge_command(cmd.data(), (i64)cmd.size(), { profile, host_proc }, scratch.data());
        static const char* kinds[] = { "ok", "sensitive", "blacklist", "whitelist", "unreadable" };
        if (j.kind == k_judge_allowed)
            return "ok";
        std::string out = std::string(kinds[j.kind]) + " " + std::string(j.rule.ptr, (size_t)j.rule.len);
        if (j.command.ptr)
            out += " | " + std::string(j.command.ptr, (size_t)j.command.len);
        return out;
    }
};

// The commands a new user ran into: each refused by bytes in every profile (the table's
// reason), each admitted by words in the permissive profile and in plain basic mode.
TEST_F(Judge, DeveloperCommandsPassWordsAndStayRefusedByBytes)
{
    struct Row {
        const char* cmd;
        const char* bytes;
    };
    for (Row r : {
             Row { "rm -rf /tmp/build", "blacklist rm -rf /" },
             { "git add ifaces.py", "blacklist dd if" },
             { "grep -r curl .", "blacklist curl" },
             { "git diff HEAD~1..HEAD", "sensitive .." },
             { "cat /proc/meminfo", "sensitive /proc/" },
             { "python3 -m unittest test_evaluate", "sensitive eval" },
             { "v1/bin/python -c 'import sys'", "blacklist python -c 'im" },
         }) {
        for (i64 profile : { 0, 1, 2 }) {
            state.matcher = k_matcher_bytes;
            EXPECT_EQ(judge(r.cmd, profile), r.bytes) << r.cmd << " profile " << profile;
        }
        state.matcher = k_matcher_words;
        EXPECT_EQ(judge(r.cmd, 2), "ok") << r.cmd;
    }
    state.matcher = k_matcher_words;
    EXPECT_EQ(judge("cat /proc/meminfo", 2, true), "sensitive /proc/ | cat /proc/meminfo");
}

TEST_F(Judge, WordsKeepsTheTrueRefusals)
{
    state.matcher = k_matcher_words;
    struct Row {
        const char* cmd;
        i64 profile;
        bool host_proc;
        const char* verdict;
    };
    for (Row r : {
             Row { "rm -rf /", 2, false, "blacklist rm -rf / | rm -rf /" },
             { "rm -rf / x", 2, false, "blacklist rm -rf / | rm -rf / x" },
             { "sudo rm -rf /*", 2, false, "blacklist rm -rf / | sudo rm -rf /*" },
             { "curl x", 2, false, "blacklist curl | curl x" },
             { "/usr/bin/curl x", 2, false, "blacklist curl | /usr/bin/curl x" },
             { "echo $(curl x)", 2, false, "blacklist curl | curl x" },
             { "c\"\"url x", 2, false, "blacklist curl | curl x" },
             { "/usr/bin/wget", 2, false, "blacklist wget | /usr/bin/wget" },
             { "env A=1 curl x", 2, false, "blacklist curl | env A=1 curl x" },
             { "busybox wget x", 2, false, "blacklist wget | busybox wget x" },
             { "timeout -s KILL 5 nice curl x", 2, false, "blacklist curl | timeout -s KILL 5 nice curl x" },
             { "find . -exec curl {} \\;", 2, false, "blacklist curl | find . -exec curl {} ;" },
             { "sh -c 'curl x'", 2, false, "blacklist curl | curl x" },
             { "eval \"curl x\"", 2, false, "blacklist curl | curl x" },
             { "C='curl x'; $C", 2, false, "blacklist curl | curl x" },
             { "$W -i curl x", 2, false, "blacklist curl | $W -i curl x" },
             { "`echo env` sh -c 'wget y'", 2, false, "blacklist wget | wget y" },
             { "dd if=/dev/zero of=x", 2, false, "blacklist dd if | dd if=/dev/zero of=x" },
             { "mkfs.ext4 img", 2, false, "blacklist mkfs | mkfs.ext4 img" },
             { "chown root:root f", 2, false, "blacklist chown root | chown root:root f" },
             { "python -c 'import os'", 2, false, "blacklist python -c 'im | python -c import os" },
             { "cat /etc/shadow", 2, true, "sensitive /etc/s | cat /etc/shadow" },
             { "cat /etc/shadow", 2, false, "sensitive /etc/s | cat /etc/shadow" },
             { "cat < ~/.ssh/id_rsa", 1, false, "sensitive .ssh/ | cat ~/.ssh/id_rsa" },
             { "E=/et\"\"c; head -2 $E/pass\"\"wd", 2, false, "sensitive /etc/p | head -2 /etc/passwd" },
             { "cat /pro\"\"c/1/environ", 2, true, "sensitive /proc/ | cat /proc/1/environ" },
             { "cd /pro\"\"c", 2, true, "sensitive /proc/ | cd /proc" },
             { "cat ../x", 2, false, "sensitive .. | cat ../x" },
             { "cat a/../b", 2, false, "sensitive .. | cat a/../b" },
             { "echo hi; id", 0, false, "whitelist id | id" },
             { "ls | wc -l", 0, false, "ok" },
             { "/bin/ls -la", 0, false, "ok" },
             { "echo $(id)", 0, false, "sensitive $( | echo $(id)" },
             { "echo `date`", 0, false, "sensitive ` | echo `date`" },
             { "eval ls", 0, false, "sensitive eval | eval ls" },
             { "echo $(date)", 1, false, "ok" },
             { "env ls", 0, false, "whitelist env | env ls" },
             { "find . -exec rm {} +", 0, false, "whitelist rm | find . -exec rm {} +" },
             { "echo 'abc", 0, false, "unreadable an unclosed quote" },
             { "echo 'curl", 2, false, "blacklist curl" },
             { "echo 'abc", 2, false, "ok" },
             { "cat <<E\n/etc/passwd\nE", 1, false, "sensitive /etc/p" },
             { "echo &> f sh -c 'id'", 0, false, "whitelist sh | f sh -c id" },
             { "echo $'\\'\nid\n#\\''", 0, false, "whitelist id | id" },
             { "for x do id; done", 0, false, "whitelist id | id" },
             { "env -iu X curl x", 2, false, "blacklist curl | env -iu X curl x" },
             { "xargs -tn 1 curl", 2, false, "blacklist curl | xargs -tn 1 curl" },
             { "env --frob X curl x", 2, false, "blacklist curl | env --frob X curl x" },
             { "env --frob X ls", 0, false, "unreadable a wrapper option the matcher does not know" },
             { "ls --frob X curl", 2, false, "ok" },
             { "taskset -c 1 strace -f chroot / curl x", 2, false, "blacklist curl | taskset -c 1 strace -f chroot / curl x" },
             { "A=curl eval '$A x'", 2, false, "blacklist curl | curl x" },
             { "A=curl env sh -c '$A x'", 2, false, "blacklist curl | curl x" },
             { "su -c 'curl x'", 2, false, "blacklist curl | curl x" },
         })
        EXPECT_EQ(judge(r.cmd, r.profile, r.host_proc), r.verdict) << r.cmd;
}

// Text built to make the walks and matches quadratic, at the largest command: the work of
// parsing and judging stays within the step budget (past it by at most one scan of the
// words), and such text is refused unread in strict and judged by bytes elsewhere.
// An ordinary long command is judged well inside the budget.
TEST_F(Judge, WorkStaysWithinTheStepBudget)
{
    constexpr i64 largest = k_max_cmd_bytes_high;
    auto repeat = [](const std::string& unit, i64 len, const std::string& tail = "") {
        std::string out;
        while ((i64)(out.size() + unit.size() + tail.size()) <= len)
            out += unit;
        return out + tail;
    };
    auto steps_used = [&](const std::string& cmd, i64 profile, WordVerdictKind* kind) {
        std::vector<char> scratch((size_t)shell_scratch_size((i64)cmd.size()));
        ShellParse p = parse_shell_words(cmd.data(), (i64)cmd.size(), scratch.data());
        if (!p.readable) {
            *kind = k_words_unreadable;
            return shell_step_budget((i64)cmd.size());
        }
        WordVerdict v = judge_words(p, profile, false);
        *kind = v.kind;
        return shell_step_budget((i64)cmd.size()) - v.steps_left;
    };
    std::string nested_tail = "$X/sh -c '#" + std::string(70000, 'A') + "'";
    for (const std::string& cmd : {
             repeat("$X/find -ok $X/rm ", largest),
             repeat("$X/find -exec ", largest, nested_tail),
             repeat("$X/rm -f ", largest),
             "$X " + repeat("rm ", largest - 3),
             repeat("$X/find -exec $X/su -c id ", largest),
         }) {
        ASSERT_LE((i64)cmd.size(), largest);
        for (i64 profile : { 0, 2 }) {
            WordVerdictKind kind;
            i64 used = steps_used(cmd, profile, &kind);
            EXPECT_LE(used, shell_step_budget((i64)cmd.size()) + shell_word_capacity((i64)cmd.size())) << cmd.substr(0, 40);
        }
        state.matcher = k_matcher_words;
        EXPECT_EQ(judge(cmd, 0).rfind("unreadable ", 0), 0u) << cmd.substr(0, 40);
        state.matcher = k_matcher_bytes;
        std::string by_bytes = judge(cmd, 2);
        state.matcher = k_matcher_words;
        EXPECT_EQ(judge(cmd, 2), by_bytes) << cmd.substr(0, 40);
    }
    WordVerdictKind kind;
    std::string ordinary = "rm -f " + repeat("build/a.o ", largest - 6);
    EXPECT_LT(steps_used(ordinary, 2, &kind), shell_step_budget((i64)ordinary.size()) / 4);
    EXPECT_EQ(kind, k_words_allowed);
}

TEST_F(Judge, BytesIsTheDefaultAndIgnoresHostProc)
{
    EXPECT_EQ(state.matcher, k_matcher_bytes);
    EXPECT_EQ(judge("echo hi; id", 0), "ok");
    EXPECT_EQ(judge("c\"\"url x", 2), "ok");
    EXPECT_EQ(judge("/pro\"\"c", 2, true), "ok");
    EXPECT_EQ(judge("lsof", 0), "whitelist lsof");
    EXPECT_EQ(judge("lsof", 1), "ok");
}

TEST(BlacklistRuleForm, PlainWordsNameAProgram)
{
    for (const char* rule : { "rm -rf /", "dd if", "curl", "chmod 777", "chown root" })
        EXPECT_EQ(blacklist_rule_form(rule, text_length(rule)), k_rule_plain_words) << rule;
    for (const char* rule : { ":(){ :", "python -c 'im", "/etc/shadow", ".ssh/id_", "/dev/sda", "a|b", " " })
        EXPECT_EQ(blacklist_rule_form(rule, text_length(rule)), k_rule_text) << rule;
}

TEST_F(Judge, RefusedCommandIsCutVisibly)
{
    state.matcher = k_matcher_words;
    std::string cmd = "curl " + std::string(300, 'a');
    std::string verdict = judge(cmd, 2);
    std::string expected = "blacklist curl | " + cmd.substr(0, k_judged_command_max - 4) + " ...";
    EXPECT_EQ(verdict, expected);
    std::string text = "curl" + std::string(k_judged_command_max - 4, ' ') + "b";
    EXPECT_EQ(judge(text, 2), "blacklist curl | curl b");
}

} // namespace
