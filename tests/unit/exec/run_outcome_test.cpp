#include "exec/run_outcome.h"
#include <gtest/gtest.h>
#include <string>

namespace {

int exited(int code) { return code << 8; }
int signaled(int signal, bool core = false) { return signal | (core ? 0x80 : 0); }

TEST(ExitCodeFromStatus, ReportsExitStatusOrSignalPlus128)
{
    EXPECT_EQ(exit_code_from_status(exited(0)), 0);
    EXPECT_EQ(exit_code_from_status(exited(3)), 3);
    EXPECT_EQ(exit_code_from_status(exited(127)), 127);
    EXPECT_EQ(exit_code_from_status(exited(255)), 255);
    EXPECT_EQ(exit_code_from_status(signaled(9)), 137);
    EXPECT_EQ(exit_code_from_status(signaled(31)), 159);
    EXPECT_EQ(exit_code_from_status(signaled(11, true)), 139);
}

i64 reports(const std::string& text) { return output_reports_seccomp(text.data(), (i64)text.size()); }

TEST(OutputReportsSeccomp, ChecksBytes0124OfAtLeast15)
{
    EXPECT_EQ(reports("Bad system call\n"), 1);
    EXPECT_EQ(reports("Bad system call"), 1);
    EXPECT_EQ(reports("BadXsystem call"), 1); // byte 3 is not examined
    EXPECT_EQ(reports("Bad system cal"), 0);
    EXPECT_EQ(reports("bad system call"), 0);
    EXPECT_EQ(reports("Bad System call"), 0);
    EXPECT_EQ(reports(""), 0);
}

TEST(ClassifyRun, TimeOutWinsOverEverything)
{
    std::string text = "Bad system call\n";
    EXPECT_EQ(classify_run(signaled(9), 1, "", 0), k_run_timeout);
    EXPECT_EQ(classify_run(signaled(31), 1, text.data(), (i64)text.size()), k_run_timeout);
}

TEST(ClassifyRun, SigsysIsBlockEvenWithoutText)
{
    EXPECT_EQ(classify_run(signaled(31), 0, "", 0), k_run_seccomp);
    EXPECT_EQ(classify_run(signaled(31, true), 0, "partial", 7), k_run_seccomp);
}

TEST(ClassifyRun, ShellExitingWith159IsBlock)
{
    // "echo hi; python3 -c 'socket...'": the child dies of SIGSYS, the shell reports 159
    // after output that does not start with its message.
    EXPECT_EQ(classify_run(exited(159), 0, "hi\n", 3), k_run_seccomp);
    EXPECT_EQ(classify_run(exited(158), 0, "hi\n", 3), k_run_ok);
}

TEST(ClassifyRun, ShellReportIsBlockWhateverTheStatus)
{
    std::string text = "Bad system call\nafter\n";
    EXPECT_EQ(classify_run(exited(0), 0, text.data(), (i64)text.size()), k_run_seccomp);
    EXPECT_EQ(classify_run(exited(159), 0, text.data(), (i64)text.size()), k_run_seccomp);
}

TEST(ClassifyRun, OtherEndingsAreOrdinaryRuns)
{
    std::string text = "hello world, long enough\n";
    EXPECT_EQ(classify_run(exited(0), 0, text.data(), (i64)text.size()), k_run_ok);
    EXPECT_EQ(classify_run(signaled(9), 0, "", 0), k_run_ok);
    EXPECT_EQ(classify_run(signaled(24), 0, "", 0), k_run_ok);
}

} // namespace
