#include "admin/mcp_endpoint.h"
#include "core/http_response.h"
#include "runtime/heap.h"
#include "runtime/json_reader.h"
#include <gtest/gtest.h>
#include <map>
#include <string.h>
#include <string>
#include <sys/socket.h>
#include <tuple>
#include <unistd.h>
#include <vector>

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

// ---- tools/list and tools/call against a route that records its request ----------------

namespace {

// What the route got, and the answer it gives (status 200 and this body).
std::string routed;
std::string route_answer;

void record_route(int conn, const char* req, i64 req_len)
{
    routed.assign(req, req_len);
    send_json(conn, 200, "OK", route_answer.data(), (i64)route_answer.size());
}

struct McpCall : ::testing::Test {
    int pair[2] = { -1, -1 };
    char* mark = nullptr;
    void SetUp() override
    {
        if (!heap.heap_base)
            heap_init();
        mark = heap_mark();
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
        routed.clear();
    }
    void TearDown() override
    {
        close(pair[0]);
        close(pair[1]);
        heap_release(mark);
    }
    // The body of the answer to one JSON-RPC message.
    std::string rpc(const std::string& message)
    {
        std::string req = "POST /mcp HTTP/1.1\r\nAuthorization: Basic x\r\nX-Agent: tester\r\n\r\n" + message;
        handle_mcp(pair[0], req.data(), (i64)req.size(), record_route);
        std::string raw;
        char buf[65536];
        for (i64 n; (n = recv(pair[1], buf, sizeof(buf), MSG_DONTWAIT)) > 0;)
            raw.append(buf, n);
        return raw.substr(raw.find("\r\n\r\n") + 4);
    }
    std::string call(const std::string& tool, const std::string& arguments)
    {
        return rpc(R"({"jsonrpc":"2.0","id":3,"method":"tools/call","params":{"name":")" + tool + R"(","arguments":)" + arguments + "}}");
    }
    // The route request's body.
    std::string routed_body() { return routed.substr(routed.find("\r\n\r\n") + 4); }
};

// The value text of key in the object at pos, or "" when absent.
std::string member(const std::string& json, i64 object, const char* key)
{
    i64 value = json_find_member(json.data(), (i64)json.size(), object, key, (i64)strlen(key));
    if (value < 0)
        return "";
    return json.substr(value, json_value_end(json.data(), (i64)json.size(), value) - value);
}

// Offset of each tool object in the tools/list answer, by name.
std::map<std::string, i64> tools_of(const std::string& json)
{
    std::map<std::string, i64> tools;
    i64 result = json_find_member(json.data(), (i64)json.size(), 0, "result", 6);
    i64 list = json_find_member(json.data(), (i64)json.size(), result, "tools", 5);
    i64 pos = list + 1;
    while (json[pos] == '{') {
        std::string name = member(json, pos, "name");
        tools[name.substr(1, name.size() - 2)] = pos;
        pos = json_value_end(json.data(), (i64)json.size(), pos);
        if (json[pos] == ',')
            pos++;
    }
    return tools;
}

TEST_F(McpCall, ToolListNamesEveryToolWithItsSchemaAndHints)
{
    std::string json = rpc(R"({"jsonrpc":"2.0","id":1,"method":"tools/list"})");
    ASSERT_EQ(json_value_end(json.data(), (i64)json.size(), 0), (i64)json.size()) << json;
    std::map<std::string, i64> tools = tools_of(json);
    ASSERT_EQ(tools.size(), 9u);
    struct Expect {
        const char* tool;
        const char* read_only;
        const char* destructive;
        const char* required;
        std::vector<const char*> properties;
    };
    for (const Expect& e : {
             Expect { "execute_command", "false", "true", R"(["command"])",
                 { "command", "cwd", "env", "stdin", "stdin_encoding", "timeout_ms", "merge_stderr", "agent" } },
             Expect { "write_file", "false", "true", R"(["path","content"])", { "path", "content", "encoding", "mode", "append", "agent" } },
             Expect { "read_file", "true", "false", R"(["path"])", { "path", "offset", "length", "encoding", "agent" } },
             Expect { "list_files", "true", "false", "", { "path", "agent" } },
             Expect { "start_command", "false", "true", R"(["command"])", { "command", "cwd", "env", "timeout_ms", "agent" } },
             Expect { "command_status", "true", "false", R"(["run_id"])", { "run_id", "offset", "agent" } },
             Expect { "write_command_stdin", "false", "false", R"(["run_id"])", { "run_id", "data", "eof", "agent" } },
             Expect { "stop_command", "false", "true", R"(["run_id"])", { "run_id", "agent" } },
             Expect { "list_commands", "true", "false", "", { "agent" } },
         }) {
        ASSERT_TRUE(tools.count(e.tool)) << e.tool;
        i64 tool = tools[e.tool];
        i64 annotations = json_find_member(json.data(), (i64)json.size(), tool, "annotations", 11);
        EXPECT_EQ(member(json, annotations, "readOnlyHint"), e.read_only) << e.tool;
        EXPECT_EQ(member(json, annotations, "destructiveHint"), e.destructive) << e.tool;
        i64 schema = json_find_member(json.data(), (i64)json.size(), tool, "inputSchema", 11);
        EXPECT_EQ(member(json, schema, "type"), R"("object")");
        EXPECT_EQ(member(json, schema, "required"), e.required) << e.tool;
        EXPECT_EQ(member(json, schema, "additionalProperties"), "false") << e.tool;
        i64 properties = json_find_member(json.data(), (i64)json.size(), schema, "properties", 10);
        for (const char* property : e.properties)
            EXPECT_NE(member(json, properties, property).find(R"("type":)"), std::string::npos) << e.tool << " " << property;
        EXPECT_NE(member(json, tool, "outputSchema"), "") << e.tool;
    }
    i64 exec_schema = json_find_member(json.data(), (i64)json.size(), tools["execute_command"], "inputSchema", 11);
    i64 exec_properties = json_find_member(json.data(), (i64)json.size(), exec_schema, "properties", 10);
    EXPECT_EQ(member(json, exec_properties, "stdin_encoding"),
        R"({"type":"string","enum":["utf-8","base64"],"default":"utf-8","description":"base64 for bytes that are not text."})");
    EXPECT_NE(member(json, exec_properties, "env").find(R"("additionalProperties":{"type":"string"})"), std::string::npos);
}

TEST_F(McpCall, ArgumentsBecomeTheRouteBodyAsWritten)
{
    route_answer = R"({"ok":true,"stdout":"","stderr":"","exit_code":0,"duration_ms":1})";
    call("execute_command",
        R"({"env":{"A":"1"},"command":"ls \"x\"","cwd":"src","stdin":"aGk=","stdin_encoding":"base64","timeout_ms":900,"merge_stderr":true})");
    EXPECT_EQ(routed.substr(0, routed.find("\r\n")), "POST /api/exec HTTP/1.1");
    EXPECT_NE(routed.find("\r\nX-Agent: tester\r\n"), std::string::npos);
    EXPECT_EQ(routed_body(),
        R"({"cmd":"ls \"x\"","cwd":"src","env":{"A":"1"},"stdin":"aGk=","stdin_encoding":"base64","timeout_ms":900,"merge_stderr":true})");
    route_answer = R"({"ok":true,"path":"/tmp/a","bytes_written":0,"size":3})";
    call("write_file", R"({"path":"/tmp/a","content":"","mode":"0755","append":true,"encoding":"base64","agent":"w"})");
    EXPECT_EQ(routed_body(), R"({"path":"/tmp/a","content":"","encoding":"base64","mode":"0755","append":true})");
    EXPECT_NE(routed.find("\r\nX-Agent: w\r\n"), std::string::npos);
    call("read_file", R"({"path":"/tmp/a","offset":5,"length":10,"encoding":"base64"})");
    EXPECT_EQ(routed_body(), R"({"path":"/tmp/a","offset":5,"length":10,"encoding":"base64"})");
    route_answer = R"({"ok":true,"path":"/tmp","entries":[],"count":0,"truncated":false})";
    call("list_files", "{}");
    EXPECT_EQ(routed.substr(0, routed.find("\r\n")), "POST /api/list HTTP/1.1");
    EXPECT_EQ(routed_body(), R"({"path":"/tmp"})");
    call("list_files", R"({"path":"/tmp/src"})");
    EXPECT_EQ(routed_body(), R"({"path":"/tmp/src"})");
}

// The background runs' tools: the run's id in the path, the offset in the query, start_command
// a background exec; a request without a body has none.
TEST_F(McpCall, RunToolsBuildTheirRoutesRequests)
{
    route_answer = R"({"ok":true})";
    struct Case {
        const char* tool;
        const char* arguments;
        const char* line;
        const char* body;
    };
    for (const Case& c : {
             Case { "start_command", R"({"timeout_ms":5,"command":"make"})", "POST /api/exec HTTP/1.1", R"({"cmd":"make","timeout_ms":5,"background":true})" },
             Case { "command_status", R"({"run_id":7})", "GET /api/runs/7 HTTP/1.1", "" },
             Case { "command_status", R"({"offset":120,"run_id":7})", "GET /api/runs/7?offset=120 HTTP/1.1", "" },
             Case { "write_command_stdin", R"({"run_id":12,"eof":true,"data":"a\nb"})", "POST /api/runs/12/stdin HTTP/1.1", R"({"data":"a\nb","eof":true})" },
             Case { "write_command_stdin", R"({"run_id":12})", "POST /api/runs/12/stdin HTTP/1.1", "{}" },
             Case { "stop_command", R"({"run_id":3,"agent":"other"})", "DELETE /api/runs/3 HTTP/1.1", "" },
             Case { "list_commands", "{}", "GET /api/runs HTTP/1.1", "" },
         }) {
        routed.clear();
        call(c.tool, c.arguments);
        EXPECT_EQ(routed.substr(0, routed.find("\r\n")), c.line) << c.tool << c.arguments;
        EXPECT_EQ(routed_body(), c.body) << c.tool << c.arguments;
    }
    EXPECT_NE(routed.find("\r\nContent-Length: 0\r\n"), std::string::npos);
    call("stop_command", R"({"run_id":3,"agent":"other"})");
    EXPECT_NE(routed.find("\r\nX-Agent: other\r\n"), std::string::npos);
}

TEST_F(McpCall, UnknownOrMissingArgumentsAreToolErrorsAndRouteNothing)
{
    for (const auto& [tool, arguments, text] : std::vector<std::tuple<std::string, std::string, std::string>> {
             { "execute_command", R"({"command":"ls","timeout":5})", "unknown argument: timeout" },
             { "execute_command", R"({"command":"ls","Cwd":"/tmp"})", "unknown argument: Cwd" },
             { "read_file", R"({"path":"/tmp/a","content":"x"})", "unknown argument: content" },
             { "list_files", R"({"path":5})", "path must be a string" },
             { "write_file", R"({"path":"/tmp/a","content":5})", "content must be a string" },
             { "start_command", R"({"timeout_ms":5})", "command must be a string" },
             { "command_status", "{}", "run_id must be a whole number of 0 or more" },
             { "stop_command", R"({"run_id":"7"})", "run_id must be a whole number of 0 or more" },
             { "stop_command", R"({"run_id":-7})", "run_id must be a whole number of 0 or more" },
             { "write_command_stdin", R"({"run_id":1e3})", "run_id must be a whole number of 0 or more" },
             { "command_status", R"({"run_id":1234567890123456789})", "run_id must be a whole number of 0 or more" },
             { "command_status", R"({"run_id":7,"offset":1.5})", "offset must be a whole number of 0 or more" },
             { "list_commands", R"({"run_id":7})", "unknown argument: run_id" },
         }) {
        std::string json = call(tool, arguments);
        EXPECT_EQ(json, R"({"jsonrpc":"2.0","id":3,"result":{"content":[{"type":"text","text":")" + text + R"("}],"isError":true}})") << arguments;
    }
    EXPECT_EQ(routed, "");
}

// The content a model reads: stdout, then stderr, then how the run ended.
TEST_F(McpCall, ExecResultTextSaysWhatWasCutAndHowItEnded)
{
    route_answer = R"({"ok":true,"stdout":"a\nb","stderr":"boom\n","exit_code":137,"duration_ms":5,"stdout_bytes":3000000,)"
                   R"("stderr_bytes":5,"stdout_truncated":true,"stderr_truncated":false,"killed_by":"seccomp","call":"ptrace",)"
                   R"("ignored_fields":["timeout","Cwd"]})";
    std::string json = call("execute_command", R"({"command":"x"})");
    std::string content = member(json, json_find_member(json.data(), (i64)json.size(), 0, "result", 6), "content");
    EXPECT_EQ(content,
        R"([{"type":"text","text":"a\nb"},{"type":"text","text":"[stderr]\nboom\n"},)"
        R"({"type":"text","text":"killed by the seccomp filter (call ptrace), stdout truncated (3000000 bytes in all), )"
        R"(ignored fields: timeout Cwd, exit code 137"}])");
    EXPECT_NE(json.find(R"("structuredContent":)" + route_answer), std::string::npos);
    route_answer = R"({"ok":true,"stdout":"fine","stderr":"","exit_code":0,"duration_ms":5})";
    json = call("execute_command", R"({"command":"x"})");
    EXPECT_NE(json.find(R"("content":[{"type":"text","text":"fine"}],)"), std::string::npos) << json;
}

TEST_F(McpCall, AnUnusableProgressTokenIsAnInvalidParamsError)
{
    for (const std::string& token : std::vector<std::string> { "null", "{}", "true", "\"" + std::string(255, 'x') + "\"", "\"a\nb\"" }) {
        std::string json = rpc(R"({"jsonrpc":"2.0","id":4,"method":"tools/call","params":{"name":"list_files","arguments":{},"_meta":{"progressToken":)" +
            token + "}}}");
        EXPECT_EQ(json, R"({"jsonrpc":"2.0","id":4,"error":{"code":-32602,"message":"progressToken must be a string or a number of at most 256 bytes"}})")
            << token;
    }
    EXPECT_EQ(routed, "");
    // A token of 254 bytes in its quotes is taken; a call that starts no run answers as JSON.
    route_answer = R"({"ok":true,"path":"/tmp","entries":[],"count":0,"truncated":false})";
    std::string json = rpc(R"({"jsonrpc":"2.0","id":4,"method":"tools/call","params":{"name":"list_files","arguments":{},"_meta":{"progressToken":")" +
        std::string(254, 'x') + R"("}}})");
    EXPECT_EQ(json.rfind(R"({"jsonrpc":"2.0","id":4,"result":)", 0), 0u) << json;
}

// A run's status: its output as one text, then its state, the offsets and where to read on.
TEST_F(McpCall, RunStatusAndListTexts)
{
    route_answer = R"({"ok":true,"run_id":7,"agent":"a","cmd":"make","cmd_bytes":4,"state":"running","started":1,"duration_ms":5,)"
                   R"("stdin_open":true,"output_bytes":900,"offset":100,"next_offset":900,"dropped":60,"output":"cc -c a.c\n"})";
    std::string json = call("command_status", R"({"run_id":7,"offset":40})");
    EXPECT_NE(json.find(R"("content":[{"type":"text","text":"cc -c a.c\n"},{"type":"text","text":"run 7 running; output bytes 100 to 900 of 900 )"
                        R"((the ring no longer held the 60 bytes before); read on with offset 900"}],"structuredContent":)"),
        std::string::npos)
        << json;
    route_answer = R"({"ok":true,"run_id":7,"agent":"a","cmd":"make","cmd_bytes":4,"state":"exited","started":1,"duration_ms":5,)"
                   R"("exit_code":137,"timed_out":true,"stdin_open":false,"output_bytes":3,"offset":3,"next_offset":3,"dropped":0,"output":""})";
    json = call("command_status", R"({"run_id":7,"offset":3})");
    EXPECT_NE(json.find(R"("content":[{"type":"text","text":""},{"type":"text","text":"run 7 exited with code 137, timed out; output bytes 3 to 3 of 3"}])"),
        std::string::npos)
        << json;
    route_answer = R"({"ok":true,"runs":[{"run_id":2,"agent":"a","cmd":"sleep \"9\"","cmd_bytes":9,"state":"running","started":1,)"
                   R"("duration_ms":5,"stdin_open":true,"output_bytes":0},{"run_id":1,"agent":"a","cmd":"ls","cmd_bytes":2,)"
                   R"("state":"exited","started":1,"duration_ms":5,"exit_code":0,"stdin_open":false,"output_bytes":3}],"count":2})";
    json = call("list_commands", "{}");
    EXPECT_NE(json.find(R"x("content":[{"type":"text","text":"run 2 running: sleep \"9\"\nrun 1 exited with code 0: ls\n"}])x"), std::string::npos) << json;
}

TEST_F(McpCall, ListAndPartialReadTexts)
{
    route_answer = R"({"ok":true,"path":"/tmp","entries":[{"name":"src","type":"dir","size":60,"mode":"0755","mtime":1},)"
                   R"({"name":"a \"b\".txt","type":"file","size":3,"mode":"0644","mtime":2}],"count":2,"truncated":true})";
    std::string json = call("list_files", "{}");
    EXPECT_NE(json.find(R"x("content":[{"type":"text","text":"src/\na \"b\".txt\n(more entries not listed)"}])x"), std::string::npos) << json;
    route_answer = R"({"ok":true,"path":"/tmp/big","size":100,"offset":10,"bytes":20,"encoding":"utf-8","content":"xyz","eof":false,"lossy":true})";
    json = call("read_file", R"({"path":"/tmp/big","offset":10,"length":20})");
    EXPECT_NE(json.find(R"([{"type":"text","text":"xyz"},{"type":"text","text":"read bytes 10 to 30 of 100; read on with offset 30"},)"
                        R"({"type":"text","text":"bytes that are not UTF-8 were replaced; read with encoding base64 for the exact bytes"}])"),
        std::string::npos)
        << json;
}

} // namespace
