#include "admin_page_pieces.h"
#include "core/state.h"
#include "dashboard/admin_page.h"
#include <gtest/gtest.h>
#include <string>
#include <vector>

// Builds the page with the given credential into a buffer of exactly the size the router
// hands out, so AddressSanitizer reports any write past it.
static std::string page_with(const std::string& credential)
{
    state_init_defaults();
    state.basic_credential = credential.data();
    state.basic_credential_len = (i64)credential.size();
    std::vector<char> buf(k_admin_page_size);
    i64 len = build_admin_page(buf.data());
    EXPECT_GT(len, 0);
    EXPECT_LE(len, k_admin_page_size);
    return std::string(buf.data(), (size_t)len);
}

static size_t count_of(const std::string& hay, const std::string& needle)
{
    size_t n = 0;
    for (size_t at = hay.find(needle); at != std::string::npos; at = hay.find(needle, at + 1))
        n++;
    return n;
}

static const std::string k_default = "dGVyb3g6d2lja2VycG9k";
static const std::string k_script_head = "<script>const H='Authorization';const T='Basic ";

TEST(BuildAdminPage, PutsCredentialRightAfterBothScriptMarkers)
{
    std::string page = page_with(k_default);
    EXPECT_EQ(count_of(page, k_default), 2u);
    EXPECT_EQ(count_of(page, k_script_head + k_default + "';"), 1u);
    EXPECT_EQ(count_of(page, "let _b64='" + k_default + "';"), 1u);
    EXPECT_LT(page.find(k_script_head), page.find("let _b64='"));
}

TEST(BuildAdminPage, FramesTheDocument)
{
    std::string page = page_with(k_default);
    const std::string head = "<!DOCTYPE html><html><head><meta charset=utf-8>"
                             "<meta name=viewport content='width=device-width,initial-scale=1'>"
                             "<title>Cindervox Admin</title>";
    EXPECT_EQ(page.compare(0, head.size(), head), 0);
    const std::string tail = "</script></body></html>";
    ASSERT_GE(page.size(), tail.size());
    EXPECT_EQ(page.substr(page.size() - tail.size()), tail);
    // One script element and the README's snippets as JSON data: a stray closing tag
    // inside either would end it early.
    EXPECT_EQ(count_of(page, "<script>"), 1u);
    EXPECT_EQ(count_of(page, "<script type=application/json id=snippets>{\""), 1u);
    EXPECT_EQ(count_of(page, "</script"), 2u);
    EXPECT_EQ(count_of(page, "<style>"), 1u);
    EXPECT_EQ(page.find("@@"), std::string::npos) << "a marker was left in the document";
}

TEST(BuildAdminPage, VariesOnlyInTheCredential)
{
    const std::string other = "b3BzOmNvcnJlY3QtaG9yc2UtYmF0dGVyeQ==";
    std::string first = page_with(k_default);
    std::string second = page_with(other);
    EXPECT_EQ((i64)first.size(), k_admin_page_constant_length + 2 * (i64)k_default.size());
    EXPECT_EQ((i64)second.size(), k_admin_page_constant_length + 2 * (i64)other.size());
    std::string swapped = first;
    for (size_t at = swapped.find(k_default); at != std::string::npos; at = swapped.find(k_default, at + other.size()))
        swapped.replace(at, k_default.size(), other);
    EXPECT_EQ(swapped, second);
    EXPECT_EQ(page_with(k_default), first) << "two builds with one credential must be identical";
}

TEST(BuildAdminPage, WritesOnlyAscii)
{
    std::string page = page_with(k_default);
    for (size_t i = 0; i < page.size(); i++)
        ASSERT_LT((unsigned char)page[i], 128u) << "byte " << i;
    EXPECT_EQ(page.find('\r'), std::string::npos);
}

TEST(BuildAdminPage, HoldsTheLongestCredentialTheServerAccepts)
{
    EXPECT_EQ(k_admin_credential_max, 508);
    EXPECT_GE(k_admin_credential_max, 128) << "the settings endpoint makes up to 128 characters";
    std::string longest(k_admin_credential_max, 'Q');
    std::string page = page_with(longest);
    EXPECT_EQ((i64)page.size(), k_admin_page_constant_length + 2 * k_admin_credential_max);
    EXPECT_EQ(count_of(page, longest), 2u);
    EXPECT_EQ(page.substr(page.size() - 7), "</html>");
}

TEST(BuildAdminPage, EmptyCredentialLeavesBothLiteralsEmpty)
{
    std::string page = page_with("");
    EXPECT_EQ(count_of(page, k_script_head + "';"), 1u);
    EXPECT_EQ(count_of(page, "let _b64='';"), 1u);
}

// True when the page declares the element id exactly once, quoted or not.
static size_t id_count(const std::string& page, const std::string& id)
{
    size_t n = 0;
    for (const char* form : { "id=%s>", "id=%s ", "id='%s'", "id=\"%s\"" }) {
        std::string f = form;
        f.replace(f.find("%s"), 2, id);
        n += count_of(page, f);
    }
    return n;
}

TEST(BuildAdminPage, DeclaresEveryElementTheScriptUses)
{
    static const char* const ids[] = {
        "sidebar",
        "main",
        "sec-overview",
        "sec-agents",
        "sec-policies",
        "sec-budgets",
        "sec-security",
        "sec-settings",
        "execs",
        "blocked",
        "bytes",
        "uptime",
        "rate",
        "agents-count",
        "profile",
        "isolation",
        "ov-prof",
        "plimits",
        "ov-agents",
        "out",
        "cmd",
        "af",
        "audit-log",
        "conn-url",
        "conn-user",
        "conn-pass",
        "eye-icon",
        "test-btn",
        "test-result",
        "tab-python",
        "tab-js",
        "tab-curl",
        "tab-mcp",
        "snip-py",
        "snip-js",
        "snip-curl",
        "snip-mcp",
        "agent-body",
        "test-cmd",
        "test-cmd-result",
        "bl-list",
        "bl-input",
        "wl-list",
        "wl-input",
        "budget-body",
        "prof-0",
        "prof-1",
        "prof-2",
        "sec-limits",
        "lim-cpu",
        "lim-mem",
        "lim-timeout",
        "lim-procs",
        "lim-fsize",
        "lim-nofile",
        "set-user",
        "set-pass",
        "pass-result",
        "set-rate",
        "rate-result",
        "set-timeout",
        "timeout-result",
        "usage-grid",
        "usage-execs",
        "usage-tokens",
        "usage-agents",
        "reset-result",
        "menu",
        "charts",
        "runs-body",
        "aa",
        "au-newer",
        "au-older",
        "au-range",
        "sec-agent",
        "ag-name",
        "ag-execs",
        "ag-blocked",
        "ag-ws",
        "ag-last",
        "ag-prof",
        "ag-limits",
        "ag-budget",
        "ag-budget-in",
        "ag-cmds",
        "ag-files",
        "ag-reset-result",
        "agent-profile-result",
        "ag-prof-result",
        "prof-table",
        "prof-note",
        "layers",
        "layers-note",
        "tab-mcp-http",
        "snip-mcp-http",
        "snippets",
        "term-tmp",
    };
    std::string page = page_with(k_default);
    for (const char* id : ids)
        EXPECT_EQ(id_count(page, id), 1u) << "id " << id;
}

TEST(BuildAdminPage, LinksEverySectionFromTheSidebar)
{
    static const char* const links[][2] = {
        { "sec-overview", "Overview" },
        { "sec-agents", "Connect Agents" },
        { "sec-policies", "Policies" },
        { "sec-budgets", "Token Budgets" },
        { "sec-security", "Security" },
        { "sec-settings", "Settings" },
    };
    std::string page = page_with(k_default);
    for (const auto& link : links) {
        std::string handler = std::string("return nav(this,\"") + link[0] + "\")'";
        size_t at = page.find(handler);
        ASSERT_NE(at, std::string::npos) << link[0];
        EXPECT_EQ(page.compare(at + handler.size(), std::string(link[1]).size() + 1, std::string(">") + link[1]), 0) << link[0];
    }
}
