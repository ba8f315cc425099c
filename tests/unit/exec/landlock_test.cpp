#include "exec/landlock.h"
#include "runtime/abi.h"
#include <gtest/gtest.h>
#include <string>

namespace {

constexpr u64 k_abi1_fs = (1ul << 13) - 1;

TEST(LandlockHandled, FollowsTheAbiFieldByField)
{
    struct Row {
        JailMode mode;
        i64 abi;
        u64 fs;
        u64 net;
        u64 scoped;
        i64 size;
    };
    const u64 tcp = LANDLOCK_ACCESS_NET_BIND_TCP | LANDLOCK_ACCESS_NET_CONNECT_TCP;
    const u64 scopes = LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET | LANDLOCK_SCOPE_SIGNAL;
    const Row rows[] = {
        { k_jail_none, 0, 0, 0, 0, 8 },
        { k_jail_none, 1, k_abi1_fs, 0, 0, 8 },
        { k_jail_none, 2, k_abi1_fs | LANDLOCK_ACCESS_FS_REFER, 0, 0, 8 },
        { k_jail_none, 3, (1ul << 15) - 1, 0, 0, 8 },
        { k_jail_none, 4, (1ul << 15) - 1, tcp, 0, 16 },
        { k_jail_kernel, 4, (1ul << 15) - 1, 0, 0, 16 },
        { k_jail_none, 5, (1ul << 16) - 1, tcp, 0, 16 },
        { k_jail_none, 6, (1ul << 16) - 1, tcp, scopes, 24 },
        { k_jail_rootless, 6, (1ul << 16) - 1, 0, scopes, 24 },
        { k_jail_kernel, 7, (1ul << 16) - 1, 0, scopes, 24 },
        { k_jail_none, 9, (1ul << 16) - 1, tcp, scopes, 24 },
    };
    for (const Row& row : rows) {
        LandlockHandled handled = landlock_handled(row.mode, row.abi);
        EXPECT_EQ(handled.fs, row.fs) << "mode " << row.mode << " abi " << row.abi;
        EXPECT_EQ(handled.net, row.net) << "mode " << row.mode << " abi " << row.abi;
        EXPECT_EQ(handled.scoped, row.scoped) << "mode " << row.mode << " abi " << row.abi;
        EXPECT_EQ(handled.attr_size, row.size) << "mode " << row.mode << " abi " << row.abi;
    }
}

TEST(LandlockGrantRights, AreMaskedByAbiAndByKindOfPlace)
{
    const u64 read = LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_READ_DIR;
    const u64 rw_file = LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_WRITE_FILE;
    EXPECT_EQ(landlock_grant_rights(k_grant_read, 7, true), read);
    EXPECT_EQ(landlock_grant_rights(k_grant_read, 7, false), LANDLOCK_ACCESS_FS_READ_FILE);
    EXPECT_EQ(landlock_grant_rights(k_grant_read_exec, 1, true), read | LANDLOCK_ACCESS_FS_EXECUTE);
    EXPECT_EQ(landlock_grant_rights(k_grant_list, 7, false), 0u);
    EXPECT_EQ(landlock_grant_rights(k_grant_device, 2, false), rw_file);
    EXPECT_EQ(landlock_grant_rights(k_grant_device, 3, false), rw_file | LANDLOCK_ACCESS_FS_TRUNCATE);
    EXPECT_EQ(landlock_grant_rights(k_grant_device, 5, false), rw_file | LANDLOCK_ACCESS_FS_TRUNCATE | LANDLOCK_ACCESS_FS_IOCTL_DEV);
    // A workspace may hold anything but device nodes, and is no device itself.
    u64 workspace = landlock_grant_rights(k_grant_read_write, 7, true);
    EXPECT_EQ(workspace, ((1ul << 16) - 1) & ~(LANDLOCK_ACCESS_FS_MAKE_CHAR | LANDLOCK_ACCESS_FS_MAKE_BLOCK | LANDLOCK_ACCESS_FS_IOCTL_DEV));
    EXPECT_EQ(landlock_grant_rights(k_grant_read_write, 1, true), k_abi1_fs & workspace);
    EXPECT_EQ(landlock_grant_rights(k_grant_read_write, 0, true), 0u);
    // No grant ever carries a right the ruleset does not handle.
    for (i64 abi = 0; abi <= 8; abi++)
        for (LandlockGrant grant : { k_grant_list, k_grant_read, k_grant_read_exec, k_grant_device, k_grant_read_write })
            EXPECT_EQ(landlock_grant_rights(grant, abi, true) & ~landlock_handled(k_jail_none, abi).fs, 0u) << abi;
}

std::string describe(const LandlockRow& row) { return std::string(row.path) + " " + std::to_string(row.grant) + " " + std::to_string(row.stage); }

TEST(LandlockRows, JailModesNameThePlacesAfterThePivotAndBindTmpLast)
{
    LandlockRows rows = landlock_rows(k_jail_kernel);
    EXPECT_EQ(rows.rows, landlock_rows(k_jail_rootless).rows);
    std::string child, writable;
    for (i64 i = 0; i < rows.count; i++) {
        const LandlockRow& row = rows.rows[i];
        if (row.stage == k_stage_bind)
            child += describe(row) + ";";
        if (row.grant == k_grant_read_write)
            writable += std::string(row.path) + ";";
        EXPECT_EQ(row.path[0], '/') << describe(row);
    }
    // Only /tmp waits for the command: the workspace is mounted there when it is bound.
    EXPECT_EQ(child, "/tmp 4 1;");
    EXPECT_EQ(writable, "/dev/shm;/tmp;");
}

TEST(LandlockRows, PlainModeGrantsNoHostPlaceBeyondTheTable)
{
    LandlockRows rows = landlock_rows(k_jail_none);
    std::string all;
    for (i64 i = 0; i < rows.count; i++) {
        EXPECT_EQ(rows.rows[i].stage, k_stage_prepare) << describe(rows.rows[i]);
        all += std::string(rows.rows[i].path) + (rows.rows[i].grant == k_grant_read_write ? "(rw)" : "") + ";";
    }
    // /etc comes entry by entry and the workspace from the plan; never /, /tmp, /var or /home.
    EXPECT_EQ(all, "/usr;/bin;/sbin;/lib;/lib32;/lib64;/libx32;/proc;/dev;/dev/null;/dev/zero;/dev/full;/dev/tty;"
                   "/dev/random;/dev/urandom;/dev/shm(rw);");
}

TEST(LandlockEtcEntryAllowed, ClosesTheServersAndTheHostsSecrets)
{
    for (const char* open : { "passwd", "group", "hosts", "ld.so.cache", "ssl", "python3.11", "alternatives", "os-release" })
        EXPECT_TRUE(landlock_etc_entry_allowed(open)) << open;
    for (const char* closed : { "cindervox", "shadow", "shadow-", "gshadow", "gshadow-", "sudoers", "sudoers.d", "ssh", ".", ".." })
        EXPECT_FALSE(landlock_etc_entry_allowed(closed)) << closed;
}

} // namespace
