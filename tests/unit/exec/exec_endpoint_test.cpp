#include "agents/registry.h"
#include "core/audit_log.h"
#include "core/state.h"
#include "exec/exec_endpoint.h"
#include "policy/rules.h"
#include "runtime/heap.h"
#include "runtime/text.h"
#include "tests/unit/fresh_server.h"
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

std::string body(const std::string& output, i64 exit_code = 0, i64 dur = 0)
{
    std::vector<char> out(k_exec_body_size);
    i64 n = build_exec_body(out.data(), output.data(), (i64)output.size(), exit_code, dur);
    EXPECT_LE(n, k_exec_body_size);
    return std::string(out.data(), n);
}

TEST(BuildExecResult, EscapesOutputAndKeepsKeyOrder)
{
    char out[256];
    std::string o = "a\tb\"c\\d\r\n\x7f\xc3\xa9";
    i64 n = build_exec_result(out, true, o.data(), (i64)o.size(), -1, 1000);
    EXPECT_EQ(std::string(out, n),
        "{\"ok\":true,\"stdout\":\"a\\tb\\\"c\\\\d\\r\\n\x7f\xc3\xa9\",\"stderr\":\"\",\"exit_code\":-1,\"duration_ms\":1000}");
    n = build_exec_result(out, false, "", 0, 3, 0);
    EXPECT_EQ(std::string(out, n), R"({"ok":false,"stdout":"","stderr":"","exit_code":3,"duration_ms":0})");
}

TEST(BuildExecBody, SplitsFileListAfterMarker)
{
    EXPECT_EQ(body("a\n<<VELK_FS>>\nf1\nf2\r\n\nf3", 0, 7),
        R"({"ok":true,"stdout":"a\n","stderr":"","exit_code":0,"duration_ms":7,"files":["f1","f2","f3"]})");
    EXPECT_EQ(body("x<<VELK_FS>>\n"), R"({"ok":true,"stdout":"x","stderr":"","exit_code":0,"duration_ms":0,"files":[]})");
    EXPECT_EQ(body("<<VELK_FS>>"), R"({"ok":true,"stdout":"","stderr":"","exit_code":0,"duration_ms":0,"files":[]})");
    EXPECT_EQ(body("<<VELK_FS>\n"), R"({"ok":true,"stdout":"<<VELK_FS>\n","stderr":"","exit_code":0,"duration_ms":0})");
    EXPECT_EQ(
        body("<<VELK_FS>>\na\"b\\c\td\re\n"), R"({"ok":true,"stdout":"","stderr":"","exit_code":0,"duration_ms":0,"files":["a\"b\\c\td\re"]})");
}

TEST(BuildExecBody, WorstCasesFitTheBuffer)
{
    i64 max = k_output_capacity - 1;
    std::string quotes(max, '"');
    EXPECT_EQ((i64)body(quotes, -1, -9223372036854775807L).size(), 2 * max + 85);
    std::string names = "<<VELK_FS>>\n";
    while ((i64)names.size() + 2 <= max)
        names += "\"\n";
    names += "\\";
    std::string out = body(names, -9223372036854775807L, -9223372036854775807L);
    EXPECT_GT((i64)out.size(), 2 * max + 20000);
}

TEST(SensitiveSequence, ScreensPositionsUpToLengthMinusFour)
{
    auto s = [](const std::string& c) {
        const char* found = sensitive_sequence(c.data(), (i64)c.size());
        return std::string(found ? found : "-");
    };
    struct Case {
        const char* cmd;
        const char* found;
    };
    for (Case c : { Case { "cat /etc/passwd", "/etc/p" }, { "ls ~/.ssh/x", ".ssh/" }, { "echo $(id) ok", "$(" }, { "cat ../../x", ".." },
             { "eval ls", "eval" }, { "echo `id`x", "`" }, { "ls /proc/1", "/proc/" }, { "cat /etc/hosts", "/etc/h" }, { "cat ../x", ".." },
             { "ls /etc/", "-" }, { "cd ..", "-" }, { "a`b", "-" }, { "ls /etc/x", "-" }, { "echo eva", "-" }, { "ls /proc", "-" } })
        EXPECT_EQ(s(c.cmd), c.found) << c.cmd;
}

struct ReadCommand : ::testing::Test {
    char out[k_cmd_buffer] = {};
    CommandField read(const std::string& body, i64 capacity = k_cmd_capacity)
    {
        std::string req = "POST /api/exec HTTP/1.1\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
        return read_command(req.data(), (i64)req.size(), out, capacity);
    }
    std::string text(CommandField f) { return std::string(out, f.len); }
};

TEST_F(ReadCommand, DecodesEveryEscape)
{
    CommandField f = read(R"({"cmd":"echo \"hi\" \\ \/ \b\f\n\r\t \u00e9 \ud83d\ude00"})");
    EXPECT_EQ(f.status, k_command_read);
    EXPECT_EQ(text(f), "echo \"hi\" \\ / \b\f\n\r\t \xc3\xa9 \xf0\x9f\x98\x80");
    f = read(R"({"x":{"cmd":"nested"}, "note":"\"cmd\":", "cmd" : "ls -la"})");
    EXPECT_EQ(text(f), "ls -la");
}

TEST_F(ReadCommand, SortsOutWhatIsNotACommand)
{
    EXPECT_EQ(read(R"({"command":"ls"})").status, k_command_missing);
    EXPECT_EQ(read("").status, k_command_missing);
    EXPECT_EQ(read(R"({"cmd":""})").status, k_command_empty);
    EXPECT_EQ(read(R"({"cmd":42})").status, k_command_not_string);
    EXPECT_EQ(read(R"({"cmd":"unterminated)").status, k_command_not_string);
    EXPECT_EQ(read(R"({"cmd":"bad \q escape"})").status, k_command_not_string);
    EXPECT_EQ(read(R"({"cmd":"ls\u0000; rm"})").status, k_command_has_nul);
}

TEST_F(ReadCommand, KeepsTheFirstBytesOfALongCommand)
{
    std::string body = R"({"cmd":")" + std::string(2100, 'a') + R"("})";
    CommandField f = read(body);
    EXPECT_EQ(f.status, k_command_read);
    EXPECT_EQ(f.len, k_cmd_capacity);
    // An escape's UTF-8 sequence is never cut in half.
    f = read(R"({"cmd":"ab\u00e9"})", 3);
    EXPECT_EQ(text(f), "ab");
}

TEST(BuildRefusalBody, NamesTheRuleAndBoundsIt)
{
    char out[k_refusal_body_size];
    i64 n = build_refusal_body(out, "command blocked by blacklist", { "rm \"-rf\"", 8 });
    EXPECT_EQ(std::string(out, n), R"({"ok":false,"error":"command blocked by blacklist","rule":"rm \"-rf\""})");
    std::string word(5000, '"');
    n = build_refusal_body(out, "command not in whitelist (strict mode)", { word.data(), (i64)word.size() });
    EXPECT_LE(n, k_refusal_body_size);
    EXPECT_EQ(std::string(out + n - 4, 4), R"(\""})");
    EXPECT_EQ(n, 20 + 40 + 8 + 2 + 2 * k_refusal_rule_max + 1);
}

static std::string not_whitelisted(const std::string& word)
{
    return R"x(HTTP/1.1 403 Forbidden {"ok":false,"error":"command not in whitelist (strict mode)","rule":")x" + word + "\"}";
}

// The handler against a socket pair, with the policy defaults and a null audit sink.
struct HandleExec : FreshServer {
    int pair[2] = { -1, -1 };
    void SetUp() override
    {
        FreshServer::SetUp();
        state.audit_fd = open("/dev/null", O_WRONLY);
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    }
    void TearDown() override
    {
        close(pair[0]);
        close(pair[1]);
        close((int)state.audit_fd);
        FreshServer::TearDown();
    }
    std::string exec(const std::string& json, const std::string& agent = "bot")
    {
        std::string req = "POST /api/exec HTTP/1.1\r\nX-Agent: " + agent + "\r\n\r\n" + json;
        handle_exec(pair[0], req.data(), (i64)req.size());
        char buf[4096];
        i64 n = recv(pair[1], buf, sizeof(buf), MSG_DONTWAIT);
        std::string raw(buf, n > 0 ? n : 0);
        return raw.substr(0, raw.find("\r\n")) + " " + raw.substr(raw.find("\r\n\r\n") + 4);
    }
    std::string last_audit()
    {
        const char* slot = state.audit_ring + ((state.audit_next - 1) % state.audit_capacity) * state.audit_entry_size;
        std::string text(slot);
        return text.substr(text.find(']') + 2);
    }
};

TEST_F(HandleExec, MissingOrEmptyCommandRegistersNothing)
{
    EXPECT_EQ(exec(R"({"command":"ls"})"), R"(HTTP/1.1 400 Bad Request {"ok":false,"error":"missing cmd field"})");
    EXPECT_EQ(exec(R"({"cmd":""})"), R"(HTTP/1.1 400 Bad Request {"ok":false,"error":"empty command"})");
    EXPECT_EQ(exec(R"({"cmd":["ls"]})"), R"(HTTP/1.1 400 Bad Request {"ok":false,"error":"cmd must be a JSON string"})");
    EXPECT_EQ(exec(R"({"cmd":"a\u0000b"})"), R"(HTTP/1.1 400 Bad Request {"ok":false,"error":"cmd must not contain a zero byte"})");
    EXPECT_EQ(state.agent_count, 0);
    EXPECT_EQ(state.audit_count, 0);
}

TEST_F(HandleExec, ScreenAndPolicyRefusalsAreCountedAndAudited)
{
    EXPECT_EQ(exec(R"({"cmd":"cat /etc/passwd"})"),
        R"(HTTP/1.1 403 Forbidden {"ok":false,"error":"access to sensitive path blocked","rule":"/etc/p"})");
    EXPECT_EQ(last_audit(), "[bot] BLOCK SENSITIVE_PATH \"cat /etc/passwd\" exit=0 dur=0ms\n");
    EXPECT_EQ(exec(R"({"cmd":"echo hi; curl x"})"),
        R"(HTTP/1.1 403 Forbidden {"ok":false,"error":"command blocked by blacklist","rule":"curl"})");
    EXPECT_EQ(last_audit(), "[bot] BLOCK BLACKLIST \"echo hi; curl x\" exit=0 dur=0ms\n");
    EXPECT_EQ(exec(R"({"cmd":"id"})", "other"), not_whitelisted("id"));
    EXPECT_EQ(last_audit(), "[other] BLOCK WHITELIST \"id\" exit=0 dur=0ms\n");
    EXPECT_EQ(state.blocked_cmds, 3);
    EXPECT_EQ(agent_record(0)->blocked, 2u);
    EXPECT_EQ(agent_record(1)->blocked, 1u);
    EXPECT_GT(agent_record(0)->last_active, 1700000000u);
}

TEST_F(HandleExec, RateWindowRefusesWithoutCountingABlock)
{
    state.max_rate_per_agent = 2;
    exec(R"({"cmd":"id"})");
    tick_agent_rate(0);
    tick_agent_rate(0);
    EXPECT_EQ(exec(R"({"cmd":"id"})"), R"(HTTP/1.1 429 Too Many Requests {"ok":false,"error":"per-agent rate limit exceeded"})");
    EXPECT_EQ(last_audit(), "[bot] RATELIMIT AGENT \"id\" exit=0 dur=0ms\n");
    EXPECT_EQ(state.blocked_cmds, 1);
    EXPECT_EQ(exec(R"({"cmd":"id"})", "fresh"), not_whitelisted("id"));
}

TEST_F(HandleExec, BudgetRefusesTheCrossingRequestAndAfter)
{
    exec(R"({"cmd":"id"})");
    agent_record(0)->token_budget = 100;
    exec(R"({"cmd":"id","tokens_in":60,"model":"gpt-\"x"})");
    EXPECT_EQ(std::string(agent_model_slot(0)), "gpt-\\");
    EXPECT_EQ(exec(R"({"cmd":"id","tokens_out": 50})"),
        R"(HTTP/1.1 429 Too Many Requests {"ok":false,"error":"token budget exceeded","tokens_used":110,"budget":100})");
    EXPECT_EQ(last_audit(), "[bot] BUDGET EXCEEDED \"id\" exit=0 dur=0ms\n");
    EXPECT_EQ(exec(R"({"cmd":"ls"})").substr(0, 12), "HTTP/1.1 429");
    EXPECT_EQ(state.blocked_cmds, 4);
    state.default_token_budget = 110;
    agent_record(0)->token_budget = 0;
    EXPECT_EQ(exec(R"({"cmd":"id"})").substr(0, 12), "HTTP/1.1 403");
}

// Every slot holds an agent that may not leave: each has a budget of its own.
TEST_F(HandleExec, AgentTheFullRegistryCannotTakeIsRefused)
{
    state.max_agents = 4;
    registry_init();
    for (int i = 0; i < 4; i++)
        agent_record(register_agent(std::to_string(i).c_str(), 1))->token_budget = 1000;
    EXPECT_EQ(exec(R"({"cmd":"id","tokens_in":5})", "late"), R"(HTTP/1.1 503 Service Unavailable {"ok":false,"error":"agent registry full"})");
    EXPECT_EQ(last_audit(), "[late] BLOCK REGISTRY_FULL \"id\" exit=0 dur=0ms\n");
    EXPECT_EQ(state.agent_count, 4);
    EXPECT_EQ(exec(R"({"cmd":"id"})", "3").substr(0, 12), "HTTP/1.1 403");
    // Once one may leave, the new name takes its slot.
    agent_record(2)->token_budget = 0;
    EXPECT_EQ(exec(R"({"cmd":"id"})", "late").substr(0, 12), "HTTP/1.1 403");
    EXPECT_EQ(find_agent("late", 4), 2);
    EXPECT_EQ(find_agent("2", 1), -1);
}

TEST(BuildNotStartedBody, NamesTheStepTheMeaningAndTheErrorName)
{
    char out[k_not_started_body_size];
    i64 n = build_not_started_body(out, "clone", -EAGAIN);
    EXPECT_EQ(std::string(out, n), R"x({"ok":false,"error":"the command could not be started: clone: Resource temporarily unavailable (EAGAIN)"})x");
    n = build_not_started_body(out, "resource limits", -95);
    EXPECT_EQ(std::string(out, n), R"({"ok":false,"error":"the command could not be started: resource limits: error 95"})");
    // The worst case: a step at its bound, every byte escaped, and the longest meaning.
    std::string step(k_not_started_step_max + 10, '\x01');
    n = build_not_started_body(out, step.c_str(), -ELOOP);
    EXPECT_LE(n, k_not_started_body_size);
    EXPECT_EQ(n, 20 + 2 + 34 + 6 * k_not_started_step_max + 2 + 41 + 1);
}

TEST(NotStartedStatus, ShortagesThatPassAre503TheRest500)
{
    for (i64 error : { EAGAIN, ENOMEM, ENOSPC, EMFILE, ENFILE })
        EXPECT_EQ(not_started_status(-error), 503) << error;
    for (i64 error : { EPERM, EACCES, ENOENT, EINVAL, 95 })
        EXPECT_EQ(not_started_status(-error), 500) << error;
}

// The runner's done on a socket pair, with results made up as the runner gives them.
struct AnswerRun : HandleExec {
    char output[16] = "hi\n";
    std::string answer(const RunResult& result)
    {
        RunOrder order { pair[0], 0, agent_name(0), "echo hi", 7, output, sizeof(output), answer_run };
        answer_run(&order, &result);
        char buf[4096];
        i64 n = recv(pair[1], buf, sizeof(buf), MSG_DONTWAIT);
        std::string raw(buf, n > 0 ? n : 0);
        return raw.substr(0, raw.find("\r\n")) + " " + raw.substr(raw.find("\r\n\r\n") + 4);
    }
};

TEST_F(AnswerRun, ARunThatCouldNotStartIsAnErrorNeverAnExitCode)
{
    register_agent("bot", 3);
    EXPECT_EQ(answer({ false, 0, -1, 0, false, "clone into new namespaces", -ENOSPC }),
        R"x(HTTP/1.1 503 Service Unavailable {"ok":false,"error":"the command could not be started: clone into new namespaces: No space left on device (ENOSPC)"})x");
    EXPECT_EQ(answer({ false, 0, -1, 3, false, "privilege drop", -EPERM }),
        R"x(HTTP/1.1 500 Internal Server Error {"ok":false,"error":"the command could not be started: privilege drop: Operation not permitted (EPERM)"})x");
    EXPECT_EQ(agent_record(0)->execs, 0u);
    EXPECT_EQ(answer({ true, 3, 0, 12, false, nullptr, 0 }), R"(HTTP/1.1 200 OK {"ok":true,"stdout":"hi\n","stderr":"","exit_code":0,"duration_ms":12})");
    EXPECT_EQ(agent_record(0)->execs, 1u);
    EXPECT_EQ(agent_record(0)->bytes, 3u);
}

struct TokenReport : HandleExec {
    void report(const std::string& json)
    {
        std::string req = "POST /api/exec HTTP/1.1\r\n\r\n" + json;
        apply_token_report(req.data(), (i64)req.size(), 0);
    }
};

TEST_F(TokenReport, FirstKeyFirstNumberAndSaturation)
{
    report(R"({"tokens_in":"7","tokens_out":3,"tokens_in":100,"model":"m"})");
    EXPECT_EQ(agent_record(0)->tokens_in, 7u);
    EXPECT_EQ(agent_record(0)->tokens_out, 3u);
    report(R"({"model":"abcdefghijklmnopqrstuvwxyz"})");
    EXPECT_EQ(std::string(agent_model_slot(0)), "abcdefghijklmnopqrs");
    report(R"({"model":12,"x":1})");
    EXPECT_EQ(std::string(agent_model_slot(0)), "x");
    report(R"({"tokens_in":99999999999999999999999,"model":0})");
    EXPECT_EQ(agent_record(0)->tokens_in, 0xFFFFFFFFu);
    report(R"({"tokens_in":5})");
    EXPECT_EQ(agent_record(0)->tokens_in, 0xFFFFFFFFu);
    EXPECT_EQ(std::string(agent_model_slot(0)), "x");
}

} // namespace
