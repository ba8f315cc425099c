#include "core/config.h"
#include "core/state.h"
#include "exec/confinement.h"
#include "exec/jail.h"
#include <gtest/gtest.h>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

struct PlanLaunch : ::testing::Test {
    LaunchPlan plan {};
    std::vector<char> command = std::vector<char>(16);
    std::vector<char> env_text = std::vector<char>(k_env_bytes_max);
    std::vector<const char*> environment = std::vector<const char*>(k_environment_slots);
    void SetUp() override
    {
        state_init_defaults();
        jail.mode = k_jail_none;
        plan.buffers = { command.data(), (i64)command.size(), env_text.data(), environment.data() };
    }
    void TearDown() override { jail.mode = k_jail_none; }
    bool launch(const std::string& cmd, const std::string& env = "", i64 env_count = 0, const std::string& cwd = "",
        RunLimits limits = global_run_limits())
    {
        LaunchRequest request { { cmd.data(), (i64)cmd.size() }, { env.data(), (i64)env.size() }, env_count, { cwd.data(), (i64)cwd.size() },
            limits };
        return plan_launch(&plan, request, { 5, 6, 7 });
    }
};

TEST_F(PlanLaunch, JailModesSetAllFiveLimitsInOrder)
{
    jail.mode = k_jail_kernel;
    launch("ls");
    ASSERT_EQ(plan.limit_count, 5);
    const LimitSetting expected[] = {
        { RLIMIT_CPU, 5 },
        { RLIMIT_AS, 64ul * 1048576 },
        { RLIMIT_NPROC, 5 },
        { RLIMIT_FSIZE, 10485760 },
        { RLIMIT_NOFILE, 32 },
    };
    for (i64 i = 0; i < 5; i++) {
        EXPECT_EQ(plan.limits[i].resource, expected[i].resource) << "row " << i;
        EXPECT_EQ(plan.limits[i].value, expected[i].value) << "row " << i;
    }
    EXPECT_EQ(plan.jail_mode, k_jail_kernel);
    jail.mode = k_jail_rootless;
    launch("ls");
    EXPECT_EQ(plan.limit_count, 5);
    EXPECT_EQ(plan.limits[2].resource, RLIMIT_NPROC);
}

// An agent with a profile of its own runs under that row, whatever the global one says.
TEST_F(PlanLaunch, LimitsAndTmpfsFollowTheRequestsProfile)
{
    jail.mode = k_jail_kernel;
    launch("ls", "", 0, "", profile_limits(2));
    ASSERT_EQ(plan.limit_count, 5);
    EXPECT_EQ(plan.limits[0].value, 300u);
    EXPECT_EQ(plan.limits[1].value, 1024ul * 1048576);
    EXPECT_EQ(plan.limits[2].value, 50u);
    EXPECT_EQ(plan.limits[4].value, 256u);
    EXPECT_STREQ(plan.tmpfs_options, "size=1024m,nr_inodes=4096,mode=1777");
    launch("ls");
    EXPECT_EQ(plan.limits[0].value, 5u);
    EXPECT_STREQ(plan.tmpfs_options, "size=64m,nr_inodes=4096,mode=1777");
}

TEST_F(PlanLaunch, MemoryGroupTakesThePlaceOfTheAddressSpaceLimit)
{
    jail.mode = k_jail_kernel;
    launch("node -e 1");
    RunCgroup group {};
    plan_memory_group(&plan, &group);
    EXPECT_EQ(plan.cgroup, &group);
    ASSERT_EQ(plan.limit_count, 4);
    const int expected[] = { RLIMIT_CPU, RLIMIT_NPROC, RLIMIT_FSIZE, RLIMIT_NOFILE };
    for (i64 i = 0; i < 4; i++)
        EXPECT_EQ(plan.limits[i].resource, expected[i]) << "row " << i;
    EXPECT_EQ(plan.limits[3].value, 32u);
    // A plan without groups keeps its cap.
    launch("node -e 1");
    EXPECT_EQ(plan.limits[1].resource, RLIMIT_AS);
    EXPECT_EQ(plan.limit_count, 5);
}

TEST_F(PlanLaunch, WorkspaceAndGroupsAreLeftToTheCaller)
{
    jail.mode = k_jail_kernel;
    plan.workspace[0] = 'x';
    launch("ls");
    EXPECT_STREQ(plan.workspace, "");
    EXPECT_EQ(plan.cgroup, nullptr);
    EXPECT_EQ(plan.uid, 61024u);
}

TEST_F(PlanLaunch, BasicModeProcessLimitStartsFromTheUidsCount)
{
    state.max_mem_mb = 1024;
    state.max_nofile = 256;
    state.max_procs = 7;
    launch("ls");
    ASSERT_EQ(plan.limit_count, 5);
    EXPECT_EQ(plan.limits[1].value, 1024ul * 1048576);
    EXPECT_EQ(plan.limits[2].resource, RLIMIT_NPROC);
    EXPECT_EQ(plan.limits[4].value, 256u);
    EXPECT_EQ(plan.jail_mode, k_jail_none);
    // This test runs as a thread of the uid, so the base counts at least one.
    u64 base = plan.limits[2].value - 7;
    EXPECT_GE(base, 1u);
    EXPECT_LE(base, (u64)count_uid_tasks((u32)getuid()) + 64);
    EXPECT_EQ(count_uid_tasks(0xFFFFFFF0u), 0);
}

TEST(ConfinementLayers, NameWhatEachModeAndAbiEnter)
{
    auto names = [](JailMode mode, i64 abi) {
        char out[k_layers_text_max];
        i64 len = append_layer_names(out, 0, confinement_layers(mode, abi), ",");
        return std::string(out, len);
    };
    EXPECT_EQ(names(k_jail_kernel, 7), "namespaces,jail,rlimits,landlock,seccomp");
    EXPECT_EQ(names(k_jail_rootless, 0), "namespaces,jail,rlimits,seccomp");
    EXPECT_EQ(names(k_jail_none, 1), "rlimits,landlock,seccomp");
    EXPECT_EQ(names(k_jail_none, 0), "rlimits,seccomp");
    char widest[k_layers_text_max];
    EXPECT_LT(append_layer_names(widest, 0, confinement_layers(k_jail_kernel, 7), "\",\""), k_layers_text_max);
}

TEST_F(PlanLaunch, HugeSettingSaturatesInsteadOfWrapping)
{
    state.max_mem_mb = 0x7FFFFFFFFFFFFFFF;
    launch("ls");
    EXPECT_EQ(plan.limits[1].value, ~0ul);
}

TEST_F(PlanLaunch, TmpfsIsBoundedByTheMemoryLimit)
{
    launch("ls");
    EXPECT_STREQ(plan.tmpfs_options, "size=64m,nr_inodes=4096,mode=1777");
    state.max_mem_mb = 1024;
    launch("ls");
    EXPECT_STREQ(plan.tmpfs_options, "size=1024m,nr_inodes=4096,mode=1777");
    // size=0 would mean no bound at all.
    state.max_mem_mb = 0;
    launch("ls");
    EXPECT_STREQ(plan.tmpfs_options, "size=1m,nr_inodes=4096,mode=1777");
}

TEST_F(PlanLaunch, TmpfsOptionsFitTheirBufferForTheWidestValue)
{
    state.max_mem_mb = 0x7FFFFFFFFFFFFFFF;
    launch("ls");
    std::string text = plan.tmpfs_options;
    EXPECT_EQ(text, "size=9223372036854775807m,nr_inodes=4096,mode=1777");
    EXPECT_LT((i64)text.size() + 1, k_tmpfs_options_size + 1);
}

TEST_F(PlanLaunch, CopiesTheRequestWholeOrRefusesIt)
{
    command[3] = 'x';
    ASSERT_TRUE(launch("pwd", std::string("A=1\0B=two\0", 10), 2, "src/lib"));
    EXPECT_STREQ(plan.buffers.command, "pwd");
    EXPECT_EQ(std::string(env_text.data(), (size_t)plan.env_len), std::string("A=1\0B=two\0", 10));
    EXPECT_EQ(plan.env_count, 2);
    EXPECT_STREQ(plan.cwd, "src/lib");
    EXPECT_EQ(plan.failed_step, nullptr);
    EXPECT_EQ(plan.stdout_fd, 6);
    EXPECT_EQ(plan.stderr_fd, 7);
    // The buffer holds 15 bytes and the NUL: one more byte is refused, not cut.
    EXPECT_TRUE(launch(std::string(15, 'e')));
    EXPECT_EQ(std::string(plan.buffers.command), std::string(15, 'e'));
    EXPECT_FALSE(launch(std::string(16, 'e')));
    EXPECT_STREQ(plan.failed_step, "command and environment copy");
    EXPECT_EQ(plan.failed_error, -7);
    EXPECT_FALSE(launch("ls", "", 0, std::string(k_cwd_max + 1, 'd')));
    EXPECT_FALSE(launch("ls", std::string(k_env_bytes_max + 1, 'x'), 1));
}

TEST(ServerSetsVariable, NamesTheServersOwnAndTmpdirWhereItSetsIt)
{
    jail.mode = k_jail_kernel;
    for (const char* name : { "PATH", "HOME", "TERM" })
        EXPECT_TRUE(server_sets_variable({ name, (i64)strlen(name) })) << name;
    for (const char* name : { "TMPDIR", "PATHS", "PAT", "path", "USER" })
        EXPECT_FALSE(server_sets_variable({ name, (i64)strlen(name) })) << name;
    jail.mode = k_jail_none;
    EXPECT_TRUE(server_sets_variable({ "TMPDIR", 6 }));
}

} // namespace

namespace {

TEST(SandboxUidForAgent, OneUidPerSlotFromTheBaseAndOneForRunsWithout)
{
    state_init_defaults();
    EXPECT_EQ(sandbox_uid_for_agent(0), 60000u);
    EXPECT_EQ(sandbox_uid_for_agent(1023), 61023u);
    EXPECT_EQ(sandbox_uid_for_agent(-1), 61024u);
    EXPECT_EQ(sandbox_uid_for_agent(1024), 61024u);
    state.max_agents = 32;
    EXPECT_EQ(sandbox_uid_for_agent(31), 60031u);
    EXPECT_EQ(sandbox_uid_for_agent(32), 60032u);
    state.uid_base = uid_base_high(32);
    EXPECT_EQ(sandbox_uid_for_agent(0), 65501u);
    EXPECT_EQ(sandbox_uid_for_agent(-1), 65533u);
    state_init_defaults();
}

} // namespace
