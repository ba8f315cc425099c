#include "admin/mcp_endpoint.h"
#include <gtest/gtest.h>
#include <string>

static ByteSpan span(const std::string& s) { return { s.data(), (i64)s.size() }; }

TEST(ChooseMcpVersion, EchoesWhatItSpeaksElseOffersTheNewest)
{
    EXPECT_STREQ(choose_mcp_version(span("2025-06-18")), "2025-06-18");
    EXPECT_STREQ(choose_mcp_version(span("2025-11-25")), "2025-11-25");
    for (const char* other : { "2025-03-26", "2024-11-05", "", "2025-06-18x", "2025-06-1" })
        EXPECT_STREQ(choose_mcp_version(span(other)), "2025-11-25") << other;
}

TEST(McpVersionAcceptable, TakesTheHeaderOfEveryVersionAClientMayUse)
{
    for (const char* ok : { "2025-11-25", "2025-06-18", "2025-03-26" })
        EXPECT_TRUE(mcp_version_acceptable(span(ok))) << ok;
    for (const char* bad : { "2024-11-05", "", "2025-06-18 ", "latest" })
        EXPECT_FALSE(mcp_version_acceptable(span(bad))) << bad;
}

TEST(OriginMatchesHost, NeedsTheExactHostBehindEitherScheme)
{
    struct Case {
        const char* origin;
        const char* host;
        bool matches;
    };
    for (Case c : { Case { "http://localhost:7575", "localhost:7575", true }, { "https://box.example", "box.example", true },
             { "http://localhost", "localhost:7575", false }, { "http://localhost:7575.evil", "localhost:7575", false },
             { "ftp://localhost:7575", "localhost:7575", false }, { "null", "localhost:7575", false }, { "http://", "", false } })
        EXPECT_EQ(origin_matches_host(span(c.origin), span(c.host)), c.matches) << c.origin << " / " << c.host;
}
