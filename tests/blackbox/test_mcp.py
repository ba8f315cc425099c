"""POST /mcp seen from outside: the JSON-RPC envelope byte for byte, the transport's rules
(202 for notifications, 405 for other methods, Origin and protocol-version checks), tool
calls that go through the same pipeline as /api/exec and /api/write, and the endpoint
driven by the official MCP TypeScript SDK and by the MCP conformance suite."""
import json
import os
import socket
import subprocess
import time
import unittest

from tests.blackbox.harness import DEFAULT_AUTH, UNAUTHORIZED, Instance, request_bytes
from tests.blackbox.test_exec_stream import EventReader, vm_rss_kb
from tests.blackbox.test_sandbox_escape import processes_with

NODE_DIR = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "mcp")


def node_ready():
    return all(os.path.isdir(os.path.join(NODE_DIR, "node_modules", "@modelcontextprotocol", name))
               for name in ("sdk", "conformance"))


def rpc(srv, message, **kw):
    body = message if isinstance(message, str) else json.dumps(message)
    return srv.post("/mcp", body, **kw)


def call(srv, name, arguments, **kw):
    r = rpc(srv, {"jsonrpc": "2.0", "id": 7, "method": "tools/call",
                  "params": {"name": name, "arguments": arguments}}, **kw)
    assert r.status == 200, r
    return r.json()["result"]


class McpProtocolTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.srv = Instance(mode="basic")

    @classmethod
    def tearDownClass(cls):
        cls.srv.cleanup()

    def test_initialize_negotiates_the_version(self):
        for asked, answered in (("2025-06-18", "2025-06-18"), ("2025-11-25", "2025-11-25"), ("2024-11-05", "2025-11-25")):
            r = rpc(self.srv, {"jsonrpc": "2.0", "id": "init-1", "method": "initialize",
                               "params": {"protocolVersion": asked, "capabilities": {},
                                          "clientInfo": {"name": "t", "version": "1"}}})
            self.assertEqual((r.status, r.headers["Content-Type"]), (200, "application/json"))
            answer = r.json()
            self.assertEqual((answer["jsonrpc"], answer["id"]), ("2.0", "init-1"))
            self.assertEqual(answer["result"]["protocolVersion"], answered, asked)
            self.assertEqual(answer["result"]["serverInfo"], {"name": "cindervox", "title": "Cindervox sandbox",
                                                             "version": "1.0.6"})
            self.assertEqual(answer["result"]["capabilities"], {"tools": {"listChanged": False}})

    def test_envelope_bytes_of_ping_and_errors(self):
        self.assertEqual(rpc(self.srv, '{"jsonrpc":"2.0","id":42,"method":"ping"}').body,
                         b'{"jsonrpc":"2.0","id":42,"result":{}}')
        self.assertEqual(rpc(self.srv, ' {"method":"ping","id":"x\\"y","jsonrpc":"2.0","params":{}} ').body,
                         b'{"jsonrpc":"2.0","id":"x\\"y","result":{}}')
        self.assertEqual(rpc(self.srv, '{"jsonrpc":"2.0","id":1,"method":"resources/list"}').body,
                         b'{"jsonrpc":"2.0","id":1,"error":{"code":-32601,"message":"method not found"}}')
        for body, status, code in (('{"jsonrpc":"2.0","id":1', 400, -32700),
                                   ('[{"jsonrpc":"2.0","id":1,"method":"ping"}]', 400, -32600),
                                   ('{"jsonrpc":"1.0","id":1,"method":"ping"}', 400, -32600),
                                   ('{"jsonrpc":"2.0","id":null,"method":"ping"}', 400, -32600),
                                   ('{"jsonrpc":"2.0","id":3,"method":"tools/call","params":{"name":"nope"}}', 200, -32602)):
            r = rpc(self.srv, body)
            self.assertEqual((r.status, r.json()["error"]["code"]), (status, code), body)

    def test_notifications_and_answers_get_202_without_body(self):
        for body in ('{"jsonrpc":"2.0","method":"notifications/initialized"}',
                     '{"jsonrpc":"2.0","id":5,"result":{}}'):
            r = rpc(self.srv, body)
            self.assertEqual((r.status, r.body, r.headers["Content-Length"]), (202, b"", "0"), body)

    def test_other_methods_get_405_and_delete_resets_nothing(self):
        call(self.srv, "execute_command", {"command": "echo counted"})
        before = self.srv.get("/api/health").json()["total_execs"]
        for method in ("GET", "DELETE", "PUT"):
            r = self.srv.request(method, "/mcp")
            self.assertEqual(r.status, 405, method)
            self.assertEqual(r.json()["error"], "use POST for MCP messages; this server offers no event stream")
        self.assertEqual(self.srv.get("/api/health").json()["total_execs"], before)

    # MCP clients ask for the event stream with GET after they connect: every caller gets the
    # same 405, whatever its credentials, and nothing is audited.
    def test_get_is_405_for_every_caller_and_audits_nothing(self):
        files = {"agents": "coder:tok-coder-1\n"}
        with Instance(mode="basic", files=files, extra_setup="chown 65534 /etc/cindervox/agents; chmod 600 /etc/cindervox/agents") as srv:
            for auth in ("Bearer tok-coder-1", DEFAULT_AUTH, None, "Bearer wrong"):
                r = srv.get("/mcp", auth=auth, headers={"Accept": "text/event-stream", "MCP-Protocol-Version": "2025-06-18"})
                self.assertEqual((r.status, r.headers["Allow"]), (405, "POST"), auth)
                self.assertEqual(r.json()["error"], "use POST for MCP messages; this server offers no event stream")
            self.assertEqual(srv.request("DELETE", "/mcp", auth="Bearer tok-coder-1").status, 405)
            self.assertEqual(srv.get("/api/audit").json()["total"], 0)

    def test_credentials_origin_and_version_header(self):
        ping = '{"jsonrpc":"2.0","id":1,"method":"ping"}'
        self.assertEqual(rpc(self.srv, ping, auth=None).raw, UNAUTHORIZED)
        self.assertEqual(rpc(self.srv, ping, auth="Bearer lanternfish-bearer-0000").status, 200)
        self.assertEqual(rpc(self.srv, ping, headers={"Origin": "http://localhost"}).status, 200)
        for origin in ("http://evil.example", "null", "http://localhost.evil.example"):
            r = rpc(self.srv, ping, headers={"Origin": origin})
            self.assertEqual(r.status, 403, origin)
            self.assertEqual(r.json()["error"]["message"], "Origin not allowed")
        self.assertEqual(rpc(self.srv, ping, headers={"MCP-Protocol-Version": "2025-06-18"}).status, 200)
        self.assertEqual(rpc(self.srv, ping, headers={"mcp-protocol-version": "1999-01-01"}).status, 400)

    def test_tool_calls_go_through_the_exec_pipeline(self):
        result = call(self.srv, "execute_command", {"command": 'echo "quoted" \\\\ é', "agent": "mcp-bot"})
        self.assertEqual(result["content"], [{"type": "text", "text": 'quoted \\ é\n'}])
        self.assertEqual(result["structuredContent"]["exit_code"], 0)
        self.assertIs(result["isError"], False)
        refused = call(self.srv, "execute_command", {"command": "echo x; wget y", "agent": "mcp-bot"})
        self.assertEqual(refused, {"content": [{"type": "text", "text": "command blocked by blacklist (matched: wget)"}],
                                   "isError": True})
        entries = self.srv.get("/api/audit?agent=mcp-bot").json()["entries"]
        self.assertRegex(entries[-2], r'\[mcp-bot\] EXEC OK "echo "quoted" \\\\ é" exit=0')
        self.assertRegex(entries[-1], r'\[mcp-bot\] BLOCK BLACKLIST "echo x; wget y"')
        # Without the argument the X-Agent header names the agent, else "mcp".
        call(self.srv, "execute_command", {"command": "true"}, headers={"X-Agent": "from-header"})
        call(self.srv, "execute_command", {"command": "true"})
        names = {a["name"] for a in self.srv.get("/api/agents").json()["agents"]}
        self.assertTrue({"mcp-bot", "from-header", "mcp"} <= names, names)

    def test_rate_and_budget_refusals_say_what_to_wait_for(self):
        with Instance(mode="basic", files={"policy.conf": "[config]\nprofile=1\nmax_rate_per_agent=1\n[blacklist]\ncurl\n"}) as srv:
            self.assertIs(call(srv, "execute_command", {"command": "echo one", "agent": "eager"})["isError"], False)
            text = call(srv, "execute_command", {"command": "echo two", "agent": "eager"})["content"][0]["text"]
            self.assertRegex(text, r"^per-agent rate limit exceeded \(try again in (59|60) s\)$")
            self.assertEqual(srv.post("/api/budget", '{"agent":"spender","max_tokens":10}').status, 200)
            r = srv.post("/api/exec", '{"cmd":"echo x","tokens_in":11}', headers={"X-Agent": "spender"})
            self.assertEqual(r.status, 429)
            self.assertEqual(call(srv, "execute_command", {"command": "echo y", "agent": "spender"})["content"][0]["text"],
                             "token budget exceeded (11 tokens used of 10)")

    def test_bad_arguments_are_tool_errors(self):
        for name, arguments, text in (("execute_command", {"command": 5}, "command must be a string"),
                                      ("execute_command", {"command": "ls", "agent": "a\nb"},
                                       "agent must be printable text of at most 31 bytes"),
                                      ("write_file", {"path": "/tmp/x"}, "content must be a string"),
                                      ("write_file", {"path": "/etc/x", "content": "y"}, "path must start with /tmp/"),
                                      ("read_file", {}, "path must be a string"),
                                      ("execute_command", {"command": "ls", "timeout": 5}, "unknown argument: timeout"),
                                      ("list_files", {"path": 7}, "path must be a string")):
            result = call(self.srv, name, arguments)
            self.assertEqual(result, {"content": [{"type": "text", "text": text}], "isError": True}, name)


EVENT_STREAM = {"Accept": "application/json, text/event-stream"}
AGENTS = "coder:tok-coder-1\nother:tok-other-2\n"


def tool_call(request_id, name, arguments, token=None):
    params = {"name": name, "arguments": arguments}
    if token is not None:
        params["_meta"] = {"progressToken": token}
    return json.dumps({"jsonrpc": "2.0", "id": request_id, "method": "tools/call", "params": params})


def cancel(request_id):
    return json.dumps({"jsonrpc": "2.0", "method": "notifications/cancelled",
                       "params": {"requestId": request_id, "reason": "changed my mind"}})


class McpLongWorkTest(unittest.TestCase):
    """Progress streams, cancellation and the background-run tools seen from the wire."""

    @classmethod
    def setUpClass(cls):
        cls.srv = Instance(mode="basic", files={"policy.conf": "[config]\nprofile=1\n", "agents": AGENTS},
                           extra_setup="chown 65534 /etc/cindervox/agents; chmod 600 /etc/cindervox/agents")

    @classmethod
    def tearDownClass(cls):
        cls.srv.cleanup()

    def open_call(self, body, headers, auth=DEFAULT_AUTH):
        s = self.srv.connect()
        s.sendall(request_bytes("POST", "/mcp", body, headers=headers, auth=auth))
        return s

    def test_progress_streams_while_the_command_runs_then_the_usual_result(self):
        plain = call(self.srv, "execute_command", {"command": "echo a; sleep 1.3; echo b", "agent": "streamer"})
        s = self.open_call(tool_call("c-1", "execute_command", {"command": "echo a; sleep 1.3; echo b", "agent": "streamer"},
                                     token="tok-\u00e9"), EVENT_STREAM)
        reader = EventReader(s)
        events = [event for _, event in reader.events()]
        s.close()
        self.assertIn(b"\r\nContent-Type: text/event-stream", reader.head)
        self.assertEqual({name for name, _ in events}, {"message"})
        *notes, (_, result) = events
        self.assertGreaterEqual(len(notes), 1)
        self.assertEqual(notes[0][1], {"jsonrpc": "2.0", "method": "notifications/progress",
                                       "params": {"progressToken": "tok-\u00e9", "progress": notes[0][1]["params"]["progress"],
                                                  "message": "a\n"}})
        self.assertEqual((result["jsonrpc"], result["id"]), ("2.0", "c-1"))
        for answer in (result["result"], plain):
            answer["structuredContent"]["duration_ms"] = 0
        self.assertEqual(result["result"], plain)
        # Without an Accept that names event streams, or for a call that starts no run, the
        # answer is the plain JSON one.
        for body, headers in ((tool_call(2, "execute_command", {"command": "echo x"}, token=2), {}),
                              (tool_call(3, "execute_command", {"command": "echo $(id)"}, token=3), EVENT_STREAM),
                              (tool_call(4, "list_files", {}, token=4), EVENT_STREAM)):
            r = rpc(self.srv, body, headers=headers)
            self.assertEqual((r.status, r.headers["Content-Type"]), (200, "application/json"), body)
            self.assertIn("result", r.json())

    # The calls of an agent token's agent: another agent's cancellation, or the admin's acting
    # for the same name, reaches nothing; the caller's own ends the run and every process.
    def test_a_cancellation_reaches_only_the_callers_own_call(self):
        marker = "sleep 3075.5"
        command = "echo go; setsid sh -c '%s' & %s" % (marker, marker)
        s = self.open_call(tool_call(11, "execute_command", {"command": command}, token=11), EVENT_STREAM, auth="Bearer tok-coder-1")
        deadline = time.time() + 5
        while len(processes_with(marker)) < 2 and time.time() < deadline:
            time.sleep(0.05)
        self.assertEqual(len(processes_with(marker)), 2)
        for auth, headers in (("Bearer tok-other-2", {}), (DEFAULT_AUTH, {"X-Agent": "coder"}), (DEFAULT_AUTH, {})):
            r = rpc(self.srv, cancel(11), auth=auth, headers=headers)
            self.assertEqual((r.status, r.body), (202, b""))
        # "11" is another id than 11.
        self.assertEqual(rpc(self.srv, cancel("11"), auth="Bearer tok-coder-1").status, 202)
        time.sleep(0.5)
        self.assertEqual(len(processes_with(marker)), 2)
        self.assertEqual(rpc(self.srv, cancel(11), auth="Bearer tok-coder-1").status, 202)
        # The stream ends with no result: at most the notifications sent before.
        events = [event for _, event in EventReader(s).events(timeout=5)]
        s.close()
        self.assertEqual([data.get("method") for _, data in events], ["notifications/progress"] * len(events))
        deadline = time.time() + 5
        while processes_with(marker) and time.time() < deadline:
            time.sleep(0.05)
        self.assertEqual(processes_with(marker), [])
        entries = self.srv.get("/api/audit?agent=coder").json()["entries"]
        self.assertRegex(entries[-1], r"\[coder\] EXEC CANCELLED \"echo go; setsid sh -c 'sleep 3075\.5' & sleep 3075\.5\" exit=137")

    def test_run_tools_keep_each_agents_runs_its_own(self):
        coder, other = "Bearer tok-coder-1", "Bearer tok-other-2"
        started = call(self.srv, "start_command", {"command": "sleep 3076.5"}, auth=coder)
        run_id = started["structuredContent"]["run_id"]
        self.assertEqual(started["content"], [{"type": "text", "text": "started run %d; read its output with command_status" % run_id}])
        for name, arguments in (("command_status", {"run_id": run_id}), ("stop_command", {"run_id": run_id}),
                                ("write_command_stdin", {"run_id": run_id, "data": "x"}),
                                ("command_status", {"run_id": run_id, "agent": "coder"})):
            self.assertEqual(call(self.srv, name, arguments, auth=other),
                             {"content": [{"type": "text", "text": "no such run"}], "isError": True}, name)
        self.assertEqual(call(self.srv, "list_commands", {}, auth=other)["structuredContent"], {"ok": True, "runs": [], "count": 0})
        self.assertEqual(call(self.srv, "command_status", {"run_id": run_id}, auth=coder)["structuredContent"]["state"], "running")
        self.assertEqual(call(self.srv, "stop_command", {"run_id": run_id}, auth=coder)["content"],
                         [{"type": "text", "text": "stopped run %d" % run_id}])
        entries = self.srv.get("/api/audit?agent=coder").json()["entries"]
        self.assertIn('BACKGROUND STARTED "sleep 3076.5"', "".join(entries))

    # A reader that takes nothing while its command floods: the server answers others at
    # once, keeps no queue of notifications, and the reader gets the whole result later.
    def test_a_progress_reader_that_takes_nothing_holds_up_nobody(self):
        total = 30 * 1000 * 1000
        pid = self.srv.server_pid()
        call(self.srv, "execute_command", {"command": "true"})
        before = vm_rss_kb(pid)
        s = self.srv.connect()
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 65536)
        s.sendall(request_bytes("POST", "/mcp", tool_call(21, "execute_command", {
            "command": "head -c %d /dev/zero | tr '\\0' a; sleep 3; echo done" % total, "agent": "flood"}, token=21),
            headers=EVENT_STREAM))
        peak = before
        for _ in range(20):
            time.sleep(0.2)
            started = time.monotonic()
            self.assertEqual(self.srv.get("/api/health").status, 200)
            self.assertLess(time.monotonic() - started, 1.0)
            peak = max(peak, vm_rss_kb(pid))
        events = [event for _, event in EventReader(s).events(timeout=30)]
        s.close()
        result = events[-1][1]["result"]["structuredContent"]
        self.assertEqual((result["stdout_bytes"], result["stdout_truncated"], result["exit_code"]), (total + 5, True, 0))
        self.assertTrue(all(e[1]["method"] == "notifications/progress" for e in events[:-1]))
        # The two capture buffers (1 MiB each), the tool result that carries the answer
        # twice, and the progress buffers (about 34 KiB).
        self.assertLess((peak - before) / 1024, 16)


@unittest.skipUnless(node_ready(), "run tests/install_deps.sh first (Node packages of tests/mcp)")
class McpClientsTest(unittest.TestCase):
    """Clients nobody here wrote, run with node inside the server's network namespace."""

    def setUp(self):
        # Basic mode, moderate profile: a file written through the API is the file a command
        # sees, and printf may run.
        self.srv = Instance(mode="basic", files={"policy.conf": "[config]\nprofile=1\n[blacklist]\ncurl\n"})
        self.addCleanup(self.srv.cleanup)

    def node(self, args, env=None):
        command = ["nsenter", "--net=/proc/%d/ns/net" % self.srv.proc.pid, "node"] + args
        env = dict(os.environ, CINDERVOX_URL="http://127.0.0.1:7575", CINDERVOX_AUTH=DEFAULT_AUTH, **(env or {}))
        done = subprocess.run(command, cwd=NODE_DIR, env=env, capture_output=True, timeout=600)
        return done.returncode, (done.stdout + done.stderr).decode("utf-8", "replace")

    def test_official_sdk_over_streamable_http(self):
        status, output = self.node(["--test", "--test-reporter=tap", "mcp_http.test.mjs"])
        self.assertEqual(status, 0, output)

    def test_official_sdk_long_work_progress_cancellation_and_background_runs(self):
        status, output = self.node(["--test", "--test-reporter=tap", "mcp_long.test.mjs"])
        self.assertEqual(status, 0, output)

    def test_conformance_suite_scenarios(self):
        status, output = self.node(["conformance.mjs"], {"SCENARIOS": "server-initialize,ping,tools-list"})
        self.assertEqual(status, 0, output)
        runs = output.split("=== scenario ")[1:]
        self.assertEqual([run.split("\n", 1)[0] for run in runs], ["server-initialize", "ping", "tools-list"], output)
        for run in runs:
            self.assertIn("Passed: 1/1, 0 failed, 0 warnings", run, output)


if __name__ == "__main__":
    unittest.main()
