#include "runtime/time_text.h"
#include <gtest/gtest.h>
#include <string>

static std::string utc(i64 seconds)
{
    char buf[k_utc_time_max + 1] = {};
    i64 n = append_utc_time(buf, 0, seconds);
    EXPECT_EQ(n, k_utc_time_max);
    return std::string(buf, n);
}

TEST(AppendUtcTime, MatchesTheCalendar)
{
    EXPECT_EQ(utc(0), "1970-01-01T00:00:00Z");
    EXPECT_EQ(utc(951782400), "2000-02-29T00:00:00Z"); // leap day of a year divisible by 400
    EXPECT_EQ(utc(4107542400 - 86400), "2100-02-28T00:00:00Z"); // 2100 has no 29 February
    EXPECT_EQ(utc(4107542400), "2100-03-01T00:00:00Z");
    EXPECT_EQ(utc(1798761599), "2026-12-31T23:59:59Z");
    EXPECT_EQ(utc(1798761600), "2027-01-01T00:00:00Z");
    EXPECT_EQ(utc(1798238703), "2026-12-25T22:45:03Z");
}

TEST(AppendUtcTime, ClampsToItsFixedWidth)
{
    EXPECT_EQ(utc(-5), "1970-01-01T00:00:00Z");
    EXPECT_EQ(utc(1LL << 62), "9999-12-31T23:59:59Z");
}
