#include "server/request_windows.h"
#include <gtest/gtest.h>
#include <string>

namespace {

constexpr i64 k_limit = 20;

struct RequestWindows : ::testing::Test {
    void SetUp() override { request_windows_clear(); }
};

WindowKey admin() { return { k_window_admin, -1, {} }; }
WindowKey stranger() { return { k_window_stranger, -1, {} }; }
WindowKey token(i64 row) { return { k_window_token, row, {} }; }
WindowKey named(const std::string& name) { return { k_window_name, -1, { name.data(), (i64)name.size() } }; }

// Requests of key in second now until the window is full: how many it admitted (at most 1000).
i64 admitted(WindowKey key, i64 now)
{
    i64 count = 0;
    while (count < 1000 && !request_window_full(key, now, k_limit))
        count++;
    return count;
}

TEST_F(RequestWindows, EachCredentialFillsOnlyItsOwnWindow)
{
    std::string a = "agent-a", b = "agent-b";
    EXPECT_EQ(admitted(named(a), 100), k_limit);
    EXPECT_EQ(admitted(admin(), 100), k_limit);
    EXPECT_EQ(admitted(named(b), 100), k_limit);
    EXPECT_EQ(admitted(token(0), 100), k_limit);
    EXPECT_EQ(admitted(token(k_max_agent_tokens - 1), 100), k_limit);
    EXPECT_EQ(admitted(stranger(), 100), k_limit);
    // A token row outside the table is no credential of its own: it counts as a stranger.
    EXPECT_TRUE(request_window_full(token(k_max_agent_tokens), 100, k_limit));
    EXPECT_TRUE(request_window_full(token(-1), 100, k_limit));
    // Refused requests count too: the window stays full for the rest of its second.
    EXPECT_TRUE(request_window_full(named(a), 100, k_limit));
}

TEST_F(RequestWindows, TheNextSecondAdmitsAgainAndAClockGoingBackDoesToo)
{
    EXPECT_EQ(admitted(admin(), 100), k_limit);
    EXPECT_EQ(admitted(admin(), 101), k_limit);
    EXPECT_EQ(admitted(admin(), 99), k_limit);
}

TEST_F(RequestWindows, NamesAreComparedWholeUpToTheRegistrysLength)
{
    std::string worker = "worker", longer = "worker2", prefix = "worke";
    EXPECT_EQ(admitted(named(worker), 100), k_limit);
    EXPECT_FALSE(request_window_full(named(longer), 100, k_limit));
    EXPECT_FALSE(request_window_full(named(prefix), 100, k_limit));
    // The registry files a name under its first 31 bytes; so does its window.
    std::string long_a = std::string(k_agent_name_max, 'n') + "-a", long_b = std::string(k_agent_name_max, 'n') + "-b";
    EXPECT_EQ(admitted(named(long_a), 100), k_limit);
    EXPECT_TRUE(request_window_full(named(long_b), 100, k_limit));
}

std::string numbered(const char* stem, i64 i) { return stem + std::to_string(i); }

TEST_F(RequestWindows, PastSecondsMakeRoomAndNamesBeyondTheTableShareOneWindow)
{
    for (i64 i = 0; i < k_named_windows; i++)
        EXPECT_FALSE(request_window_full(named(numbered("old", i)), 100, k_limit));
    // A second later every entry is free for other names, each with a whole window.
    for (i64 i = 0; i < k_named_windows; i++)
        EXPECT_EQ(admitted(named(numbered("new", i)), 101), k_limit) << i;
    // The table is full for second 101: two more names share the overflow window.
    std::string late_a = "late-a", late_b = "late-b";
    for (i64 i = 0; i < k_limit / 2; i++)
        EXPECT_FALSE(request_window_full(named(late_a), 101, k_limit));
    EXPECT_EQ(admitted(named(late_b), 101), k_limit - k_limit / 2);
    // The names that hold entries keep their counts: new0 is still full in 101.
    EXPECT_TRUE(request_window_full(named(numbered("new", 0)), 101, k_limit));
    // The admin and the tokens never share the names' table.
    EXPECT_EQ(admitted(admin(), 101), k_limit);
    EXPECT_EQ(admitted(token(3), 101), k_limit);
}

TEST_F(RequestWindows, AnEntryTakenOverStartsAfresh)
{
    std::string first = "first", second = "second", third = "third";
    EXPECT_EQ(admitted(named(first), 100), k_limit);
    for (i64 now : { 100, 101 })
        for (i64 i = 1; i < k_named_windows; i++)
            request_window_full(named(numbered("filler", i)), now, k_limit);
    // Only first's entry is from a past second: second takes it with a count of 0.
    EXPECT_EQ(admitted(named(second), 101), k_limit);
    // first has lost its entry and finds none free in 101: it goes to the overflow window.
    EXPECT_EQ(admitted(named(first), 101), k_limit);
    EXPECT_TRUE(request_window_full(named(third), 101, k_limit));
}

} // namespace
