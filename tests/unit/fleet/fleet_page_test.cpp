#include "fleet/fleet_config.h"
#include "fleet/fleet_page.h"
#include <gtest/gtest.h>
#include <string>
#include <vector>

// Builds into a buffer of exactly the page's size, so ASan reports any overrun.
static std::string page_with(i64 count)
{
    i64 saved = fleet_config.sandbox_count;
    fleet_config.sandbox_count = count;
    std::vector<char> buf(k_fleet_page_buffer, '\0');
    i64 len = build_fleet_page(buf.data());
    fleet_config.sandbox_count = saved;
    EXPECT_GT(len, 0);
    EXPECT_LE(len, k_fleet_page_buffer);
    return std::string(buf.data(), len);
}

static i64 occurrences(const std::string& hay, const std::string& needle)
{
    i64 n = 0;
    for (size_t at = hay.find(needle); at != std::string::npos; at = hay.find(needle, at + 1))
        n++;
    return n;
}

static std::string card(i64 index, const char* name)
{
    std::vector<char> buf(4096, '\0');
    i64 len = build_fleet_card(buf.data(), 0, index, name);
    return std::string(buf.data(), len);
}

TEST(FleetConfig, BuiltInEntriesUseTheDefaultLogin)
{
    for (i64 i = 0; i < 3; i++) {
        const FleetSandbox& entry = fleet_config.sandboxes[i];
        EXPECT_LE(text_length(entry.url), k_fleet_url_max);
        EXPECT_LE(text_length(entry.name), k_fleet_name_max);
        EXPECT_EQ(entry.auth, nullptr);
    }
}

TEST(BuildFleetPage, FitsWithEverySlotAtItsLongest)
{
    // Every text at the longest the fleet file admits, every slot in use.
    std::string url = "http://" + std::string(k_fleet_url_max - 7, 'h');
    std::string name(k_fleet_name_max, 'n');
    std::string auth(k_fleet_auth_max, 'A');
    FleetConfig saved = fleet_config;
    fleet_config.sandbox_count = k_fleet_sandbox_slots;
    for (FleetSandbox& entry : fleet_config.sandboxes)
        entry = { url.c_str(), name.c_str(), auth.c_str() };
    std::vector<char> buf(k_fleet_page_buffer, '\0');
    i64 len = build_fleet_page(buf.data());
    fleet_config = saved;
    EXPECT_LE(len, k_fleet_page_buffer);
    EXPECT_EQ(occurrences(std::string(buf.data(), len), "<div class=\"card\" id=\"c"), k_fleet_sandbox_slots);
}

TEST(BuildFleetPage, GivesASandboxItsOwnLoginOnly)
{
    FleetConfig saved = fleet_config;
    fleet_config.sandboxes[1].auth = "dXNlcjpwdw==";
    std::string page = page_with(2);
    fleet_config = saved;
    EXPECT_NE(page.find("const S=[{u:'http://localhost:7575',n:'sandbox-01'},"
                        "{u:'http://192.168.77.2:7575',n:'sandbox-02',a:'Basic dXNlcjpwdw=='}];"),
        std::string::npos);
}

TEST(BuildFleetCard, GivesEveryElementTheEntryIndex)
{
    std::string c = card(1, "sandbox-02");
    EXPECT_EQ(c.rfind("<div class=\"card\" id=\"c1\">", 0), 0u);
    EXPECT_NE(c.find("<div class=\"card-hdr\"><span class=\"dot\" id=\"d1\"></span><h2>sandbox-02</h2>"
                     "<span class=\"badge\" id=\"prof1\">--</span></div>"),
        std::string::npos);
    const char* rows[][2] = {
        { "Execs", "ex1" },
        { "Blocked", "bl1" },
        { "Bytes", "by1" },
        { "Uptime", "up1" },
        { "Sandboxes", "sb1" },
        { "Isolation", "iso1" },
        { "Agents", "ag1" },
    };
    size_t last = 0;
    for (auto& row : rows) {
        std::string text = std::string("<div class=\"row\"><span class=\"lbl\">") + row[0] + "</span><span class=\"val\" id=\"" + row[1] +
            "\">--</span></div>";
        size_t at = c.find(text);
        ASSERT_NE(at, std::string::npos) << row[0];
        EXPECT_GT(at, last) << row[0] << " out of order";
        last = at;
    }
    EXPECT_EQ(occurrences(c, "</div>"), 9);
    EXPECT_EQ(c.find("@@"), std::string::npos);
}

TEST(BuildFleetCard, AppendsAtTheGivenLength)
{
    std::vector<char> buf(4096, '\0');
    buf[0] = 'X';
    i64 len = build_fleet_card(buf.data(), 1, 0, "n");
    EXPECT_EQ(buf[0], 'X');
    EXPECT_EQ(std::string(buf.data() + 1, len - 1), card(0, "n"));
}

TEST(BuildFleetPage, HasOneCardPerSandboxInUse)
{
    std::string page = page_with(2);
    EXPECT_EQ(occurrences(page, "<div class=\"card\" id=\"c"), 2);
    EXPECT_NE(page.find("id=\"c0\""), std::string::npos);
    EXPECT_NE(page.find("id=\"c1\""), std::string::npos);
    EXPECT_EQ(page.find("id=\"c2\""), std::string::npos);
    EXPECT_NE(page.find("<h2>sandbox-01</h2>"), std::string::npos);
    EXPECT_NE(page.find("<h2>sandbox-02</h2>"), std::string::npos);
    EXPECT_EQ(page.find("sandbox-03"), std::string::npos);
    EXPECT_EQ(page.find("192.168.77.3"), std::string::npos);
}

TEST(BuildFleetPage, ListsSandboxesInTheScript)
{
    EXPECT_NE(page_with(2).find("const S=[{u:'http://localhost:7575',n:'sandbox-01'},"
                                "{u:'http://192.168.77.2:7575',n:'sandbox-02'}];"),
        std::string::npos);
    EXPECT_NE(page_with(3).find("{u:'http://192.168.77.2:7575',n:'sandbox-02'},"
                                "{u:'http://192.168.77.3:7575',n:'sandbox-03'}];"),
        std::string::npos);
    EXPECT_NE(page_with(1).find("const S=[{u:'http://localhost:7575',n:'sandbox-01'}];"), std::string::npos);
}

TEST(BuildFleetPage, PlacesPiecesInPageOrder)
{
    std::string page = page_with(2);
    const char* in_order[] = {
        "<!DOCTYPE html><html><head><meta charset=\"utf-8\">",
        "<title>Cindervox Fleet</title>",
        "<meta name=\"viewport\" content=\"width=device-width,initial-scale=1\">",
        "<style>",
        "</style></head><body>",
        "<div class=\"topbar\"><div><h1>Cindervox Fleet<span class=\"sub\">Dashboard</span></h1></div>"
        "<span class=\"ts\" id=\"lastup\">Connecting...</span></div>",
        "<div class=\"summary\">",
        "<div class=\"sum-item\"><span class=\"sum-val\" id=\"s-online\">0</span><span class=\"sum-lbl\">Online</span></div>",
        "<div class=\"sum-item\"><span class=\"sum-val\" id=\"s-execs\">0</span><span class=\"sum-lbl\">Total Execs</span></div>",
        "<div class=\"sum-item\"><span class=\"sum-val\" id=\"s-blocked\">0</span><span class=\"sum-lbl\">Blocked</span></div>",
        "<div class=\"sum-item\"><span class=\"sum-val\" id=\"s-sandboxes\">0</span><span class=\"sum-lbl\">Sandboxes</span></div>",
        "<div class=\"grid\">",
        "<div class=\"card\" id=\"c0\">",
        "<div class=\"card\" id=\"c1\">",
        "<div class=\"exec-panel\"><h3>Remote Execute</h3>",
        "<div class=\"exec-row\"><select id=\"target\"></select>"
        "<input id=\"cmd\" placeholder=\"Enter command...\" onkeydown=\"if(event.key==='Enter')run()\">"
        "<button onclick=\"run()\">Execute</button></div>",
        "<div id=\"exec-out\"></div>",
        "<div class=\"audit-panel\"><h3>Fleet Audit Log</h3>",
        "<div id=\"audit-log\">Waiting for data...</div>",
        "<script>",
        "const AUTH='Basic dGVyb3g6d2lja2VycG9k';",
        "const S=[",
        "function af(",
        "function upd(",
        "function offline(",
        "function refresh(",
        "function run(",
        "setInterval(refresh, 3000);",
        "</script></body></html>",
    };
    size_t last = 0;
    for (const char* piece : in_order) {
        size_t at = page.find(piece, last);
        ASSERT_NE(at, std::string::npos) << "missing or out of order: " << piece;
        last = at;
    }
}

TEST(BuildFleetPage, ClosesGridAfterBothPanels)
{
    // The panels sit inside the grid: the grid's closing tag follows the audit panel's.
    std::string page = page_with(2);
    size_t audit = page.find("<div id=\"audit-log\">Waiting for data...</div>");
    size_t script = page.find("<script>");
    ASSERT_NE(audit, std::string::npos);
    std::string between = page.substr(audit, script - audit);
    EXPECT_EQ(occurrences(between, "</div>"), 3);
    EXPECT_EQ(occurrences(page, "<div"), occurrences(page, "</div>"));
}

TEST(BuildFleetPage, IsPlainAsciiWithNoMarkersLeft)
{
    std::string page = page_with(3);
    EXPECT_EQ(page.find("@@"), std::string::npos);
    EXPECT_EQ(page.find('\r'), std::string::npos);
    for (unsigned char ch : page)
        ASSERT_LT(ch, 0x80);
    EXPECT_EQ(page.size(), std::string(page.c_str()).size()) << "NUL inside the page";
}

TEST(BuildFleetPage, GrowsByOneCardAndOneListEntryPerSandbox)
{
    i64 one = (i64)page_with(1).size();
    i64 two = (i64)page_with(2).size();
    i64 three = (i64)page_with(3).size();
    i64 second = (i64)card(1, "sandbox-02").size() + (i64)std::string(",{u:'http://192.168.77.2:7575',n:'sandbox-02'}").size();
    i64 third = (i64)card(2, "sandbox-03").size() + (i64)std::string(",{u:'http://192.168.77.3:7575',n:'sandbox-03'}").size();
    EXPECT_EQ(two - one, second);
    EXPECT_EQ(three - two, third);
}
