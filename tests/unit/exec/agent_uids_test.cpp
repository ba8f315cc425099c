#include "exec/agent_uids.h"
#include <gtest/gtest.h>
#include <string>

namespace {

bool in_range(const std::string& status, u32 first, u32 count)
{
    return status_uid_in_range(status.data(), (i64)status.size(), first, count);
}

std::string status_with(const std::string& uid_line)
{
    return "Name:\tsleep\nUmask:\t0022\nState:\tS (sleeping)\nTgid:\t812\nPid:\t812\nPPid:\t1\nTracerPid:\t0\n" + uid_line +
        "\nGid:\t60000\t60000\t60000\t60000\nFDSize:\t64\n";
}

TEST(StatusUidInRange, AnyOfTheFourIdsAtTheRangesEnds)
{
    EXPECT_TRUE(in_range(status_with("Uid:\t60000\t60000\t60000\t60000"), 60000, 33));
    EXPECT_TRUE(in_range(status_with("Uid:\t60032\t0\t0\t0"), 60000, 33));
    EXPECT_TRUE(in_range(status_with("Uid:\t0\t0\t60005\t0"), 60000, 33));
    EXPECT_TRUE(in_range(status_with("Uid:\t0\t0\t0\t60005"), 60000, 33));
    EXPECT_FALSE(in_range(status_with("Uid:\t59999\t60033\t0\t65534"), 60000, 33));
}

TEST(StatusUidInRange, OnlyTheUidLineCounts)
{
    // The name and the Gid line hold numbers in the range; the uid does not.
    EXPECT_FALSE(in_range("Name:\t60001\n" + status_with("Uid:\t0\t0\t0\t0"), 60000, 33));
    EXPECT_FALSE(in_range("Name:\tx\nState:\tZ\n", 60000, 33));
    // A number past 32 bits matches nothing, whatever it wraps to.
    EXPECT_FALSE(in_range(status_with("Uid:\t18446744073709611616\t0\t0\t0"), 60000, 33));
    EXPECT_FALSE(in_range(status_with("Uid:\t4294967296\t1000\t1000\t1000"), 0, 33));
}

std::string refusal(AgentUidClaim claim, u32 first)
{
    std::string out(k_agent_uid_refusal_max, '\0');
    out.resize(build_agent_uid_refusal(out.data(), claim, first, 33));
    return out;
}

TEST(BuildAgentUidRefusal, NamesTheRangeTheCauseAndTheSetting)
{
    EXPECT_EQ(refusal({ k_agent_uids_in_use, 812, 0 }, 60000),
        "[ERROR] agent uids 60000-60032 are in use by another process (pid 812); set uid_base= in /etc/cindervox/config\n");
    EXPECT_EQ(refusal({ k_agent_uids_locked, 0, 0 }, 61000),
        "[ERROR] agent uids 61000-61032 are held by another server (/run/cindervox/uids.lock); set uid_base= in /etc/cindervox/config\n");
    EXPECT_EQ(refusal({ k_agent_uids_lock_failed, 0, -30 }, 61000),
        "[ERROR] agent uids 61000-61032 cannot be locked (/run/cindervox/uids.lock: EROFS)\n");
    // The longest: the largest pid a 64-bit count can show.
    EXPECT_LE(refusal({ k_agent_uids_in_use, -9223372036854775807L - 1, 0 }, 4294967295u).size(), (size_t)k_agent_uid_refusal_max);
}

} // namespace
