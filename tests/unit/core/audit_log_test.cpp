#include "agents/registry.h"
#include "core/audit_log.h"
#include "core/state.h"
#include "runtime/heap.h"
#include "tests/unit/fresh_server.h"
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct Audit : FreshServer {
    std::string dir;
    void SetUp() override
    {
        FreshServer::SetUp();
        char tmpl[] = "/tmp/audit-test-XXXXXX";
        dir = mkdtemp(tmpl);
        state.audit_fd = open((dir + "/sink.log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    }
    void TearDown() override
    {
        close((int)state.audit_fd);
        std::filesystem::remove_all(dir);
        FreshServer::TearDown();
    }
    std::string page(const std::string& agent, i64 limit, i64 offset, bool newest_first, const std::string& action = "")
    {
        std::string out(audit_report_size(), '\0');
        AuditQuery query { { agent.data(), (i64)agent.size() }, { action.data(), (i64)action.size() }, limit, offset, newest_first };
        i64 n = build_audit_json(out.data(), query);
        EXPECT_LE(n, audit_report_size());
        return out.substr(0, n);
    }
    // The report as asked for without limit, offset or order.
    std::string report(const std::string& filter = "")
    {
        return page(filter, filter.empty() ? k_audit_default_limit : k_audit_default_agent_limit, 0, false);
    }
};

std::string entry(i64 now, const std::string& agent, const char* action, const std::string& detail, i64 code, i64 dur, const char* result,
    i64 keep = k_audit_detail_max, const char* profile = nullptr)
{
    std::string out(k_audit_entry_max(keep), '\0');
    i64 n = build_audit_entry(
        out.data(), now, { agent.data(), (i64)agent.size() }, action, { detail.data(), (i64)detail.size() }, keep, code, dur, result, profile);
    EXPECT_LE(n, k_audit_entry_max(keep));
    return out.substr(0, n);
}

TEST(BuildAuditEntry, LineFormat)
{
    EXPECT_EQ(entry(1765105200, "agent-7", "EXEC", "ls -la", 0, 0, "OK"), "[1765105200] [agent-7] EXEC OK \"ls -la\" exit=0 dur=0ms\n");
    EXPECT_EQ(entry(1765105200, "system", "RESET", "", 0, 0, "OK"), "[1765105200] [system] RESET OK exit=0 dur=0ms\n");
    EXPECT_EQ(entry(5, "a", "EXEC", "x", 137, 5003, "TIMEOUT"), "[5] [a] EXEC TIMEOUT \"x\" exit=137 dur=5003ms\n");
    EXPECT_EQ(entry(5, "a", "EXEC", "x", -1, -2, "OK"), "[5] [a] EXEC OK \"x\" exit=-1 dur=-2ms\n");
    // The profile that judged a run or a refusal comes last, after the fields every entry has.
    EXPECT_EQ(entry(5, "a", "BLOCK", "id", 0, 0, "WHITELIST", k_audit_detail_max, "strict"),
        "[5] [a] BLOCK WHITELIST \"id\" exit=0 dur=0ms profile=strict\n");
}

TEST(BuildAuditEntry, CutDetailIsMarkedWithItsLength)
{
    std::string detail(150, 'd');
    EXPECT_EQ(entry(1, "a", "EXEC", detail, 0, 0, "OK"), "[1] [a] EXEC OK \"" + detail + "\" exit=0 dur=0ms\n");
    detail += "e";
    EXPECT_EQ(entry(1, "a", "EXEC", detail, 0, 0, "OK"), "[1] [a] EXEC OK \"" + std::string(150, 'd') + "\" detail_bytes=151 exit=0 dur=0ms\n");
    // Kept whole where the keep allows it; past the destination's bound, cut and marked too.
    EXPECT_EQ(entry(1, "a", "EXEC", detail, 0, 0, "OK", k_audit_file_detail_max), "[1] [a] EXEC OK \"" + detail + "\" exit=0 dur=0ms\n");
    std::string huge(k_audit_file_detail_max + 7, 'h');
    EXPECT_EQ(entry(1, "a", "EXEC", huge, 0, 0, "OK", k_audit_file_detail_max + 100),
        "[1] [a] EXEC OK \"" + std::string(k_audit_file_detail_max, 'h') + "\" detail_bytes=131079 exit=0 dur=0ms\n");
}

TEST(BuildAuditEntry, WorstCaseFillsItsBufferExactly)
{
    // Every byte escaped, every word and number at its longest.
    std::string word(100, 'W');
    for (i64 keep : { k_audit_detail_max, k_audit_file_detail_max }) {
        std::string detail(keep + 1, '\x01');
        std::string line = entry(-9223372036854775807L - 1, std::string(40, '\x1b'), word.c_str(), detail, -9223372036854775807L - 1,
            -9223372036854775807L - 1, word.c_str(), keep, word.c_str());
        std::string tail = "\" detail_bytes=" + std::to_string(keep + 1) + " exit=-9223372036854775808 dur=-9223372036854775808ms profile="
            + std::string(k_audit_word_max, 'W') + "\n";
        EXPECT_EQ(line.substr(line.size() - tail.size()), tail);
        // Only the detail_bytes number is shorter than its worst case.
        EXPECT_EQ((i64)line.size() + 20 - (i64)std::to_string(keep + 1).size(), k_audit_entry_max(keep));
    }
}

TEST_F(Audit, EmptyRingReport) { EXPECT_EQ(report(), R"({"entries":[],"total":0,"matched":0,"returned":0,"offset":0})"); }

TEST_F(Audit, WritesRingAndDestination)
{
    audit_write({ "bot", 3 }, "BLOCK", { "say \"hi\"\\", 9 }, 0, 0, "BLACKLIST");
    std::string json = report();
    std::string ts = json.substr(json.find("[") + 3, 10);
    EXPECT_EQ(json, R"({"entries":["[)" + ts + R"(] [bot] BLOCK BLACKLIST \"say \"hi\"\\\" exit=0 dur=0ms\n"],"total":1,"matched":1,"returned":1,"offset":0})");
    char buf[512] = {};
    int fd = open((dir + "/sink.log").c_str(), O_RDONLY);
    i64 n = read(fd, buf, sizeof(buf));
    close(fd);
    EXPECT_EQ(std::string(buf, n), "[" + ts + "] [bot] BLOCK BLACKLIST \"say \"hi\"\\\" exit=0 dur=0ms\n");
}

TEST_F(Audit, DestinationKeepsTheWholeDetailAndTheRingItsHead)
{
    // The padding trick: a harmless start, blanks, and what really runs at the end.
    std::string cmd = "echo build ok" + std::string(200, ' ') + "; cat /etc/os-release | head -1\nid";
    audit_write({ "bot", 3 }, "EXEC", { cmd.data(), (i64)cmd.size() }, 0, 4, "OK");
    std::string json = report();
    std::string ts = json.substr(json.find("[") + 3, 10);
    std::string whole = cmd.substr(0, cmd.size() - 3) + "\\nid";
    std::string file(8192, '\0');
    int fd = open((dir + "/sink.log").c_str(), O_RDONLY);
    file.resize(read(fd, file.data(), file.size()));
    close(fd);
    EXPECT_EQ(file, "[" + ts + "] [bot] EXEC OK \"" + whole + "\" exit=0 dur=4ms\n");
    EXPECT_EQ(json, R"({"entries":["[)" + ts + R"(] [bot] EXEC OK \")" + cmd.substr(0, 150) + R"(\" detail_bytes=247 exit=0 dur=4ms\n"],"total":1,"matched":1,"returned":1,"offset":0})");
}

TEST_F(Audit, RingKeepsLast256AndReportsOldestTwenty)
{
    for (int i = 1; i <= 300; i++) {
        std::string d = "e" + std::to_string(i);
        audit_write(k_system_agent, "EXEC", { d.data(), (i64)d.size() }, 0, 0, "OK");
    }
    EXPECT_EQ(state.audit_count, 256);
    EXPECT_EQ(state.audit_next, 300);
    std::string json = report();
    EXPECT_NE(json.find(R"(],"total":256,"matched":256,"returned":20,"offset":0})"), std::string::npos);
    EXPECT_LT(json.find("\\\"e45\\\""), json.find("\\\"e64\\\""));
    EXPECT_EQ(json.find("\\\"e44\\\""), std::string::npos);
    EXPECT_EQ(json.find("\\\"e65\\\""), std::string::npos);
    // After a reset the ring restarts at slot 0 with the one new entry.
    state.audit_next = state.audit_count = 0;
    audit_write(k_system_agent, "RESET", { "", 0 }, 0, 0, "OK");
    json = report();
    EXPECT_NE(json.find("[system] RESET OK exit=0 dur=0ms\\n\"],\"total\":1,\"matched\":1,\"returned\":1,\"offset\":0}"), std::string::npos);
}

TEST_F(Audit, FilterMatchesBracketedNamesUpToFifty)
{
    for (int i = 0; i < 60; i++) {
        audit_write(k_system_agent, "CONFIG", { "timeout", 7 }, 0, 0, "OK");
        audit_write(agent_name(resolve_agent(i % 2 ? "X-Agent: bot-1\r\n" : "X-Agent: bot-10\r\n", i % 2 ? 16 : 17)), "EXEC", { "ls", 2 },
            0, 0, "OK");
    }
    EXPECT_NE(report("bot-1").find(R"("total":120,"matched":30,"returned":30,)"), std::string::npos);
    EXPECT_NE(report("system").find(R"("matched":60,"returned":50,)"), std::string::npos);
    EXPECT_NE(report("bot").find(R"("matched":0,"returned":0,)"), std::string::npos);
    EXPECT_NE(report().find(R"("matched":120,"returned":20,)"), std::string::npos);
}

TEST(BuildAuditEntry, ControlBytesCannotStartAnotherLine)
{
    std::string forged = "ls\n[1765105200] [admin] CONFIG OK \"rate_limit\" exit=0 dur=0ms\r\x01\t";
    EXPECT_EQ(entry(5, "a\x1b", "EXEC", forged, 0, 0, "OK"),
        "[5] [a\\x1b] EXEC OK \"ls\\n[1765105200] [admin] CONFIG OK \"rate_limit\" exit=0 dur=0ms\\r\\x01\\x09\" exit=0 dur=0ms\n");
}

TEST_F(Audit, FilterMatchesTheAgentFieldOnly)
{
    audit_write({ "bot-1", 5 }, "EXEC", { "ls", 2 }, 0, 0, "OK");
    audit_write({ "mallory", 7 }, "EXEC", { "echo [bot-1]", 12 }, 0, 0, "OK");
    audit_write({ "bot-1]", 6 }, "EXEC", { "id", 2 }, 0, 0, "OK");
    std::string json = report("bot-1");
    EXPECT_NE(json.find(R"("total":3,"matched":1,"returned":1,)"), std::string::npos) << json;
    EXPECT_NE(json.find("[bot-1] EXEC OK \\\"ls\\\""), std::string::npos) << json;
    EXPECT_NE(report("bot-1]").find(R"("returned":1,)"), std::string::npos);
    EXPECT_NE(report("EXEC").find(R"("returned":0,)"), std::string::npos);
}

// The action filter reads each slot's own word: an agent whose name holds "] BLOCK " or a
// command that prints one does not match, and a slot that a later entry took gives its new word.
TEST_F(Audit, ActionFilterMatchesTheActionWordOnly)
{
    audit_write({ "x] BLOCK", 8 }, "EXEC", { "BLOCK", 5 }, 0, 0, "OK");
    audit_write({ "bot", 3 }, "BLOCK", { "curl x", 6 }, 0, 0, "BLACKLIST");
    audit_write({ "bot", 3 }, "BLOCKED", { "y", 1 }, 0, 0, "OK");
    audit_write({ "eve", 3 }, "BLOCK", { "z", 1 }, 0, 0, "WHITELIST");
    std::string json = page("", 20, 0, true, "BLOCK");
    EXPECT_NE(json.find(R"("total":4,"matched":2,"returned":2,)"), std::string::npos) << json;
    EXPECT_LT(json.find("[eve] BLOCK"), json.find("[bot] BLOCK"));
    EXPECT_NE(page("bot", 20, 0, true, "BLOCK").find(R"("matched":1,)"), std::string::npos);
    for (int i = 0; i < 256; i++)
        audit_write({ "bot", 3 }, "EXEC", { "w", 1 }, 0, 0, "OK");
    EXPECT_NE(page("", 20, 0, true, "BLOCK").find(R"("matched":0,)"), std::string::npos);
}

// The whole ring in one report, every entry at its widest.
TEST_F(Audit, WorstCaseReportOfTheWholeRingFits)
{
    // An escaped control byte (\x01) becomes five JSON bytes (\\x01).
    std::string detail(151, '\x01');
    std::string agent(31, '\x01');
    for (int i = 0; i < 300; i++)
        audit_write({ agent.data(), 31 }, std::string(32, '"').c_str(), { detail.data(), 151 }, -9223372036854775807L, -1, "\"\"\"");
    std::string json = page(agent, k_audit_capacity, 0, true);
    EXPECT_NE(json.find(R"("total":256,"matched":256,"returned":256,"offset":0})"), std::string::npos);
    EXPECT_NE(json.find("detail_bytes=151 exit="), std::string::npos);
    EXPECT_GT(json.size(), 256u * 1000);
}

// Entries e1 to e30 of two agents, a at odd numbers and b at even ones.
std::string entries_between(const std::string& json, i64* count)
{
    *count = 0;
    std::string order;
    for (size_t at = 0; (at = json.find("\\\"e", at)) != std::string::npos; at++) {
        size_t end = json.find("\\\"", at + 2);
        order += json.substr(at + 2, end - at - 2) + " ";
        ++*count;
    }
    return order;
}

TEST_F(Audit, PagesFromEitherEnd)
{
    for (int i = 1; i <= 30; i++) {
        std::string d = "e" + std::to_string(i);
        audit_write(i % 2 ? ByteSpan { "a", 1 } : ByteSpan { "b", 1 }, "EXEC", { d.data(), (i64)d.size() }, 0, 0, "OK");
    }
    i64 n = 0;
    EXPECT_EQ(entries_between(page("", 3, 0, true), &n), "e30 e29 e28 ");
    EXPECT_EQ(entries_between(page("", 3, 3, true), &n), "e27 e26 e25 ");
    EXPECT_EQ(entries_between(page("", 3, 28, false), &n), "e29 e30 ");
    EXPECT_EQ(entries_between(page("a", 4, 1, true), &n), "e27 e25 e23 e21 ");
    EXPECT_EQ(entries_between(page("b", 2, 0, false), &n), "e2 e4 ");
    std::string past = page("b", 5, 15, true);
    EXPECT_EQ(entries_between(past, &n), "");
    EXPECT_NE(past.find(R"({"entries":[],"total":30,"matched":15,"returned":0,"offset":15})"), std::string::npos) << past;
    // A limit of 0 counts without listing; one past the ring lists the ring.
    EXPECT_NE(page("a", 0, 0, false).find(R"("matched":15,"returned":0,)"), std::string::npos);
    EXPECT_NE(page("", 1000, 0, false).find(R"("returned":30,)"), std::string::npos);
    // Newest first once the ring has wrapped: the latest entry leads, the oldest kept ends.
    for (int i = 31; i <= 300; i++) {
        std::string d = "e" + std::to_string(i);
        audit_write({ "a", 1 }, "EXEC", { d.data(), (i64)d.size() }, 0, 0, "OK");
    }
    EXPECT_EQ(entries_between(page("", 2, 0, true), &n), "e300 e299 ");
    EXPECT_EQ(entries_between(page("", 2, 254, true), &n), "e46 e45 ");
    EXPECT_EQ(entries_between(page("", 2, 0, false), &n), "e45 e46 ");
}

struct OpenOwnedLog : Audit { };

TEST_F(OpenOwnedLog, RefusesLinksAndForeignFiles)
{
    std::string log = dir + "/a.log", target = dir + "/target";
    i64 fd = open_owned_log(log.c_str());
    ASSERT_GT(fd, 0);
    close((int)fd);
    fd = open_owned_log(log.c_str());
    EXPECT_GT(fd, 0);
    close((int)fd);
    ASSERT_EQ(close(open(target.c_str(), O_WRONLY | O_CREAT, 0644)), 0);
    ASSERT_EQ(symlink(target.c_str(), (dir + "/sym.log").c_str()), 0);
    EXPECT_EQ(open_owned_log((dir + "/sym.log").c_str()), -1);
    ASSERT_EQ(link(target.c_str(), (dir + "/hard.log").c_str()), 0);
    EXPECT_EQ(open_owned_log((dir + "/hard.log").c_str()), -1);
    ASSERT_EQ(mkfifo((dir + "/fifo.log").c_str(), 0644), 0);
    EXPECT_EQ(open_owned_log((dir + "/fifo.log").c_str()), -1);
    if (geteuid() == 0) {
        ASSERT_EQ(chown(log.c_str(), 65534, 65534), 0);
        EXPECT_EQ(open_owned_log(log.c_str()), -1);
    }
}

} // namespace
