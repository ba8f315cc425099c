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
#include <cstring>
#include <vector>

namespace {

RunResult ran(i64 out_len, i64 err_len, i64 exit_code = 0, i64 dur = 0)
{
    RunResult run {};
    run.started = true;
    run.stdout_stream = { out_len, out_len, false };
    run.stderr_stream = { err_len, err_len, false };
    run.exit_code = exit_code;
    run.duration_ms = dur;
    return run;
}

std::string body(const std::string& out, const std::string& err, const RunResult& run, const IgnoredFields* ignored = nullptr,
    i64 capacity = 4096)
{
    std::vector<char> buf((size_t)exec_body_size(capacity));
    ExecOutcome outcome { { out.data(), (i64)out.size() }, { err.data(), (i64)err.size() }, &run, ignored };
    i64 n = build_exec_body(buf.data(), outcome);
    EXPECT_LE(n, exec_body_size(capacity));
    return std::string(buf.data(), (size_t)n);
}

std::string body(const std::string& output, i64 exit_code = 0, i64 dur = 0)
{
    return body(output, "", ran((i64)output.size(), 0, exit_code, dur));
}

const std::string k_streams_tail = R"("stdout_truncated":false,"stderr_truncated":false)";

TEST(BuildExecBody, EscapesBothStreamsAndKeepsKeyOrder)
{
    std::string o = "a\tb\"c\\d\r\n\x7f\xc3\xa9";
    RunResult run = ran((i64)o.size(), 3, -1, 1000);
    EXPECT_EQ(body(o, "e\x01\n", run),
        "{\"ok\":true,\"stdout\":\"a\\tb\\\"c\\\\d\\r\\n\x7f\xc3\xa9\",\"stderr\":\"e\\u0001\\n\",\"exit_code\":-1,\"duration_ms\":1000,"
        "\"stdout_bytes\":12,\"stderr_bytes\":3,"
            + k_streams_tail + "}");
}

TEST(BuildExecBody, SaysWhatWasCutReplacedOrKilled)
{
    RunResult run = ran(5, 2, 137, 9);
    run.stdout_stream = { 5, 3000000, true };
    run.timed_out = true;
    run.verdict = k_run_memory;
    EXPECT_EQ(body("ab\xff\xfe!", "\xc3", run),
        "{\"ok\":true,\"stdout\":\"ab\xef\xbf\xbd\xef\xbf\xbd!\",\"stderr\":\"\xef\xbf\xbd\",\"exit_code\":137,\"duration_ms\":9,"
        "\"stdout_bytes\":3000000,\"stderr_bytes\":2,\"stdout_truncated\":true,\"stderr_truncated\":false,"
        "\"stdout_lossy\":true,\"stderr_lossy\":true,\"timed_out\":true,\"killed_by\":\"memory\"}");
    run = ran(0, 0, 159);
    run.verdict = k_run_seccomp;
    EXPECT_EQ(body("", "", run), R"({"ok":true,"stdout":"","stderr":"","exit_code":159,"duration_ms":0,"stdout_bytes":0,"stderr_bytes":0,)" + k_streams_tail
            + R"(,"killed_by":"seccomp"})");
    run.killed_call = "ptrace";
    EXPECT_NE(body("", "", run).find(R"(,"killed_by":"seccomp","call":"ptrace"})"), std::string::npos);
}

TEST(BuildExecBody, SplitsFileListAfterMarker)
{
    auto files = [](const std::string& output) {
        std::string b = body(output, 0, 7);
        std::string stdout_part = b.substr(20, b.find(",\"stderr\"") - 20);
        size_t list = b.find(",\"files\":");
        return stdout_part + (list == std::string::npos ? std::string() : b.substr(list, b.size() - 1 - list));
    };
    EXPECT_EQ(files("a\n<<VELK_FS>>\nf1\nf2\r\n\nf3"), R"("a\n","files":["f1","f2","f3"])");
    EXPECT_EQ(files("x<<VELK_FS>>\n"), R"("x","files":[])");
    EXPECT_EQ(files("<<VELK_FS>>"), R"("","files":[])");
    EXPECT_EQ(files("<<VELK_FS>\n"), R"("<<VELK_FS>\n")");
    EXPECT_EQ(files("<<VELK_FS>>\na\"b\\c\td\re\n"), R"("","files":["a\"b\\c\td\re"])");
}

TEST(BuildExecBody, NamesIgnoredMembersAndCountsTheRest)
{
    IgnoredFields ignored {};
    EXPECT_EQ(body("", "", ran(0, 0), &ignored).find("ignored"), std::string::npos);
    ignored.count = 2;
    std::memcpy(ignored.names[0], "timeout", 7);
    ignored.lens[0] = 7;
    std::memcpy(ignored.names[1], "a\"b", 3);
    ignored.lens[1] = 3;
    std::string b = body("", "", ran(0, 0), &ignored);
    EXPECT_EQ(b.substr(b.find(",\"ignored")), R"(,"ignored_fields":["timeout","a\"b"]})");
    ignored.more = 3;
    b = body("", "", ran(0, 0), &ignored);
    EXPECT_EQ(b.substr(b.find(",\"ignored")), R"(,"ignored_fields":["timeout","a\"b"],"ignored_fields_more":3})");
}

// Both streams at their largest, every byte a control byte (or a file name of one byte),
// every flag, the longest call name and sixteen ignored names of control bytes.
TEST(BuildExecBody, WorstCasesFitTheBuffer)
{
    i64 capacity = 4096;
    i64 stream = capture_buffer_size(capacity);
    RunResult run = ran(stream, stream, -9223372036854775807L, -9223372036854775807L);
    run.stdout_stream = { stream, k_i64_max, true };
    run.stderr_stream = { stream, k_i64_max, true };
    run.timed_out = true;
    run.verdict = k_run_seccomp;
    std::string call(k_killed_call_max + 8, '\x01');
    run.killed_call = call.c_str();
    IgnoredFields ignored {};
    for (i64 i = 0; i < k_ignored_names_max; i++) {
        std::memset(ignored.names[i], '\x01', k_ignored_name_max);
        ignored.lens[i] = k_ignored_name_max;
    }
    ignored.count = k_ignored_names_max;
    ignored.more = k_i64_max;
    std::string controls((size_t)stream, '\x01');
    i64 controls_len = (i64)body(controls, controls, run, &ignored, capacity).size();
    std::string names = "<<VELK_FS>>\n";
    while ((i64)names.size() + 2 <= stream)
        names += "\x01\n";
    names.resize((size_t)stream, '\x01');
    i64 names_len = (i64)body(names, controls, run, &ignored, capacity).size();
    EXPECT_GT(controls_len, exec_body_size(capacity) - 400);
    EXPECT_LE(names_len, exec_body_size(capacity));
}

struct ReadCommand : ::testing::Test {
    char out[2049] = {};
    CommandField read(const std::string& body, i64 capacity = 2048)
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

TEST_F(ReadCommand, TakesACommandAtTheLimitWholeAndOnePastItNot)
{
    CommandField f = read(R"({"cmd":")" + std::string(2048, 'a') + R"("})");
    EXPECT_EQ(f.status, k_command_read);
    EXPECT_EQ(f.len, 2048);
    f = read(R"({"cmd":")" + std::string(2047, 'a') + R"(\u00e9"})");
    EXPECT_EQ(f.status, k_command_too_long);
    EXPECT_EQ(f.total, 2049);
    // The stored part never ends inside an escape's UTF-8 sequence.
    EXPECT_EQ(f.len, 2047);
}

TEST(BuildTooLongMessage, NamesBothLengths)
{
    char out[k_too_long_message_size];
    i64 n = build_too_long_message(out, 9223372036854775807L, 131071);
    EXPECT_EQ(std::string(out, n), "command too long (9223372036854775807 bytes, limit 131071)");
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
    EXPECT_EQ(last_audit(), "[bot] BLOCK SENSITIVE_PATH \"cat /etc/passwd\" exit=0 dur=0ms profile=strict\n");
    EXPECT_EQ(exec(R"({"cmd":"echo hi; curl x"})"),
        R"(HTTP/1.1 403 Forbidden {"ok":false,"error":"command blocked by blacklist","rule":"curl"})");
    EXPECT_EQ(last_audit(), "[bot] BLOCK BLACKLIST \"echo hi; curl x\" exit=0 dur=0ms profile=strict\n");
    EXPECT_EQ(exec(R"({"cmd":"id"})", "other"), not_whitelisted("id"));
    EXPECT_EQ(last_audit(), "[other] BLOCK WHITELIST \"id\" exit=0 dur=0ms profile=strict\n");
    EXPECT_EQ(state.blocked_cmds, 3);
    EXPECT_EQ(agent_record(0)->blocked, 2u);
    EXPECT_EQ(agent_record(1)->blocked, 1u);
    EXPECT_GT(agent_record(0)->last_active, 1700000000u);
}

// An agent with a profile of its own is judged by it, time-out and whitelist alike, while
// the global profile is another.
TEST_F(HandleExec, AnAgentsOwnProfileJudgesItsCommands)
{
    apply_profile(2);
    agent_record(register_agent("tight", 5))->own_profile = own_profile_code(0);
    EXPECT_EQ(exec(R"({"cmd":"ls","timeout_ms":5001})", "tight"),
        R"(HTTP/1.1 400 Bad Request {"ok":false,"error":"timeout_ms 5001 is over the limit of 5000 for this profile"})");
    EXPECT_EQ(exec(R"({"cmd":"id"})", "tight"), not_whitelisted("id"));
    EXPECT_EQ(last_audit(), "[tight] BLOCK WHITELIST \"id\" exit=0 dur=0ms profile=strict\n");
    EXPECT_EQ(exec(R"({"cmd":"curl x"})", "loose"),
        R"(HTTP/1.1 403 Forbidden {"ok":false,"error":"command blocked by blacklist","rule":"curl"})");
    EXPECT_EQ(last_audit(), "[loose] BLOCK BLACKLIST \"curl x\" exit=0 dur=0ms profile=permissive\n");
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

TEST_F(HandleExec, CommandPastTheLimitIsRefusedAndAuditedWithItsLength)
{
    state.max_cmd_bytes = 10;
    EXPECT_EQ(exec(R"({"cmd":"cat /etc/pa"})"), R"x(HTTP/1.1 400 Bad Request {"ok":false,"error":"command too long (11 bytes, limit 10)"})x");
    EXPECT_EQ(last_audit(), "[bot] BLOCK TOO_LONG \"cat /etc/p\" detail_bytes=11 exit=0 dur=0ms\n");
    EXPECT_EQ(exec(R"({"cmd":"cat /etc/pa\u00e9"})").substr(0, 24), "HTTP/1.1 400 Bad Request");
    EXPECT_EQ(last_audit(), "[bot] BLOCK TOO_LONG \"cat /etc/p\" detail_bytes=13 exit=0 dur=0ms\n");
    EXPECT_EQ(state.blocked_cmds, 2);
    EXPECT_EQ(agent_record(0)->blocked, 2u);
    // At the limit the whole command reaches the screen.
    EXPECT_EQ(exec(R"({"cmd":"cat /etc/p"})").substr(0, 22), "HTTP/1.1 403 Forbidden");
}

TEST_F(HandleExec, RefusedMembersAnswer400AndLeaveNoTrace)
{
    EXPECT_EQ(exec(R"({"cmd":"id","cwd":"/etc"})"),
        R"x(HTTP/1.1 400 Bad Request {"ok":false,"error":"cwd must be inside the workspace (/tmp)"})x");
    EXPECT_EQ(exec(R"({"cmd":"id","env":{"TERM":"xterm"}})"),
        R"(HTTP/1.1 400 Bad Request {"ok":false,"error":"env variable TERM is set by the server"})");
    EXPECT_EQ(state.agent_count, 0);
    EXPECT_EQ(state.audit_count, 0);
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
    char out[64] = "hi\n";
    char err[64] = "oops";
    std::string answer(const RunResult& result, ByteSpan cwd = { "", 0 }, const IgnoredFields* ignored = nullptr)
    {
        RunOptions options { false, { nullptr, 0 }, { "", 0 }, 0, cwd, 0, false };
        RunOrder order { pair[0], 0, agent_name(0), "echo hi", 7, out, err, 16, options, global_run_limits(), ignored, answer_run, nullptr, nullptr };
        answer_run(&order, &result);
        char buf[4096];
        i64 n = recv(pair[1], buf, sizeof(buf), MSG_DONTWAIT);
        std::string raw(buf, n > 0 ? n : 0);
        return raw.substr(0, raw.find("\r\n")) + " " + raw.substr(raw.find("\r\n\r\n") + 4);
    }
    static RunResult not_started(const char* step, i64 error, i64 dur = 0)
    {
        RunResult result {};
        result.exit_code = -1;
        result.duration_ms = dur;
        result.failed_step = step;
        result.failed_error = error;
        return result;
    }
};

TEST_F(AnswerRun, ARunThatCouldNotStartIsAnErrorNeverAnExitCode)
{
    register_agent("bot", 3);
    EXPECT_EQ(answer(not_started("clone into new namespaces", -ENOSPC)),
        R"x(HTTP/1.1 503 Service Unavailable {"ok":false,"error":"the command could not be started: clone into new namespaces: No space left on device (ENOSPC)"})x");
    EXPECT_EQ(answer(not_started("privilege drop", -EPERM, 3)),
        R"x(HTTP/1.1 500 Internal Server Error {"ok":false,"error":"the command could not be started: privilege drop: Operation not permitted (EPERM)"})x");
    EXPECT_EQ(agent_record(0)->execs, 0u);
    IgnoredFields ignored {};
    ignored.count = 1;
    std::memcpy(ignored.names[0], "x", 1);
    ignored.lens[0] = 1;
    EXPECT_EQ(answer(ran(3, 4, 0, 12), { "", 0 }, &ignored),
        R"(HTTP/1.1 200 OK {"ok":true,"stdout":"hi\n","stderr":"oops","exit_code":0,"duration_ms":12,"stdout_bytes":3,"stderr_bytes":4,)"
            + k_streams_tail + R"(,"ignored_fields":["x"]})");
    EXPECT_EQ(agent_record(0)->execs, 1u);
    EXPECT_EQ(agent_record(0)->bytes, 7u);
}

TEST_F(AnswerRun, AWorkingDirectoryThatCannotBeEnteredIsTheRequestsFault)
{
    register_agent("bot", 3);
    ByteSpan cwd { "a/b", 3 };
    EXPECT_EQ(answer(not_started(k_step_working_directory, -ENOENT), cwd),
        R"(HTTP/1.1 400 Bad Request {"ok":false,"error":"no such directory: /tmp/a/b"})");
    EXPECT_EQ(answer(not_started(k_step_working_directory, -ENOTDIR), cwd),
        R"(HTTP/1.1 400 Bad Request {"ok":false,"error":"not a directory: /tmp/a/b"})");
    EXPECT_EQ(answer(not_started(k_step_working_directory, -EACCES), { "", 0 }),
        R"(HTTP/1.1 400 Bad Request {"ok":false,"error":"permission denied: /tmp"})");
    EXPECT_EQ(answer(not_started(k_step_working_directory, -ELOOP), cwd),
        R"x(HTTP/1.1 400 Bad Request {"ok":false,"error":"cannot enter the directory: /tmp/a/b (ELOOP)"})x");
    // The longest directory, every byte escaped, fits its answer.
    std::string longest(k_cwd_max, '\x01');
    std::vector<char> body((size_t)k_field_error_body_size);
    i64 n = build_cwd_error_body(body.data(), { longest.data(), k_cwd_max }, -ELOOP);
    EXPECT_LE(n, k_field_error_body_size);
    EXPECT_GT(n, 6 * k_cwd_max);
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
