"""The clients against a real sandbox-server: the Python package in-process, the JavaScript
package and the MCP stdio server under Node (the MCP side driven by the official MCP
TypeScript SDK), the package installs from the repository, and the TypeScript declarations.

Each server runs in namespaces of its own (harness.Instance). The Python client talks to
it from this thread after entering the instance's network namespace; Node runs inside it
through nsenter, so every connection stays on that instance's loopback.
"""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

from tests.blackbox import harness

sys.path.insert(0, os.path.join(harness.ROOT, "clients", "python"))
import cindervox  # noqa: E402

USER, PASSWORD = "terox", "wickerpod"
TOKEN = "client-test-token-5f2a"
URL = "http://127.0.0.1:7575"
NODE_DIR = os.path.join(harness.ROOT, "tests", "clients")
MCP_SERVER = os.path.join(harness.ROOT, "clients", "mcp", "cindervox_mcp.py")
MARKER = "<<VELK_FS>>"

# Quotes, a backslash, a line feed inside the command and text beyond ASCII: every one
# must reach the shell exactly as the caller wrote it.
ESCAPED_COMMAND = ("printf '%s|' \"a \\\"quoted\\\" word\" 'back\\slash' && printf '\\n'\n"
                   "echo \"h\u00e9llo \u2713 \U0001F600\"")
ESCAPED_OUTPUT = "a \"quoted\" word|back\\slash|\nh\u00e9llo \u2713 \U0001F600\n"


class InNamespace:
    """Enters the network namespace of an instance for this thread, and leaves it."""

    def __init__(self, instance):
        self.instance = instance

    def __enter__(self):
        self.own = os.open("/proc/self/task/%d/ns/net" % harness._gettid(), os.O_RDONLY)
        target = os.open("/proc/%d/ns/net" % self.instance.proc.pid, os.O_RDONLY)
        try:
            harness._setns(target)
        finally:
            os.close(target)
        return self

    def __exit__(self, *exc):
        harness._setns(self.own)
        os.close(self.own)


def node_ready():
    return os.path.isdir(os.path.join(NODE_DIR, "node_modules", "@modelcontextprotocol", "sdk"))


class ServerCase(unittest.TestCase):
    """One server per test, reached through self.terox inside its namespace. Basic mode:
    there a file written through the API is the file a command sees, with or without
    per-agent workspaces."""

    def setUp(self):
        self.instance = harness.Instance(mode="basic", files={"token": TOKEN + "\n"})
        self.addCleanup(self.instance.cleanup)
        namespace = InNamespace(self.instance)
        namespace.__enter__()
        self.addCleanup(namespace.__exit__)
        self.terox = cindervox.Terox(URL, auth=(USER, PASSWORD))

    def set_profile(self, profile):
        self.assertEqual(self.terox.call("POST", "/api/profile", {"profile": profile})["profile"], profile)


class PythonClientTest(ServerCase):
    def test_exec_and_reports(self):
        result = self.terox.exec("echo hello", agent="my-agent", model="claude-opus-4",
                                 tokens_in=120, tokens_out=30)
        self.assertEqual((result.stdout, result.exit_code, result.files, result.timed_out),
                         ("hello\n", 0, [], False))
        self.assertIsInstance(result.duration_ms, int)
        self.assertEqual(self.terox.exec("ls /no-such-dir").exit_code, 2)

        health = self.terox.health()
        self.assertEqual((health["status"], health["total_execs"], health["profile"]), ("ok", 2, "strict"))
        me = [a for a in self.terox.agents() if a["name"] == "my-agent"]
        self.assertEqual(len(me), 1)
        self.assertEqual((me[0]["execs"], me[0]["tokens_total"], me[0]["model"]), (1, 150, "claude-opus-4"))
        entries = self.terox.audit("my-agent")
        self.assertEqual(len(entries), 1)
        self.assertIn('[my-agent] EXEC OK "echo hello" exit=0', entries[0])
        self.assertGreaterEqual(len(self.terox.audit()), 2)
        policy = self.terox.policy()
        self.assertIn("rm -rf /", policy["blacklist"])
        self.assertIn("echo", policy["whitelist"])
        self.assertEqual(policy["profile"], 0)

    def test_default_agent_and_token(self):
        bot = cindervox.Terox(URL + "/", token=TOKEN, agent="token-bot")
        self.assertEqual(bot.exec("echo t").stdout, "t\n")
        self.assertEqual(bot.exec("echo u", agent="other").stdout, "u\n")
        names = {a["name"] for a in self.terox.agents()}
        self.assertTrue({"token-bot", "other"} <= names, names)

    def test_file_list_and_time_out(self):
        self.set_profile(1)
        result = self.terox.exec("echo out; echo '%s'; echo f1; echo; echo f2" % MARKER)
        self.assertEqual((result.stdout, result.files), ("out\n", ["f1", "f2"]))
        self.terox.call("POST", "/api/config", {"timeout": 300})
        slow = self.terox.exec("sleep 5")
        self.assertTrue(slow.timed_out, slow)
        self.assertFalse(self.terox.exec("echo quick").timed_out)

    def test_write_then_read(self):
        self.set_profile(1)
        content = "line 1\n \"q\" \\ \u00e9\n"
        written = self.terox.write("/tmp/client-note.txt", content, agent="writer")
        self.assertEqual((written.path, written.bytes_written),
                         ("/tmp/client-note.txt", len(content.encode())))
        self.assertEqual(self.terox.exec("cat /tmp/client-note.txt", agent="writer").stdout, content)
        self.terox.exec("printf 'made by a command' > /tmp/made.txt", agent="writer")
        read = self.terox.read("/tmp/made.txt", agent="writer")
        self.assertEqual((read.content, read.size, read.truncated), ("made by a command", 17, False))
        with self.assertRaises(cindervox.SandboxError) as missing:
            self.terox.read("/tmp/no-such-file", agent="writer")
        self.assertEqual(missing.exception.status, 404)

    def test_refusals_raise_typed_errors(self):
        cases = [("rm -rf /", "command blocked by blacklist", "rm -rf /"),
                 ("echo $(id)", "access to sensitive path blocked", "$("),
                 ("gcc -v", "command not in whitelist (strict mode)", "gcc")]
        for cmd, message, rule in cases:
            with self.subTest(cmd=cmd):
                with self.assertRaises(cindervox.PolicyRefused) as refused:
                    self.terox.exec(cmd, agent="refused")
                error = refused.exception
                self.assertEqual((error.message, error.status, error.rule), (message, 403, rule))
        with self.assertRaises(cindervox.PolicyRefused) as outside:
            self.terox.write("/etc/cron.d/x", "x")
        self.assertEqual(outside.exception.message, "path must start with /tmp/")
        for bad in (cindervox.Terox(URL, auth=(USER, "wrong-password")),
                    cindervox.Terox(URL, token=TOKEN + "x")):
            with self.subTest(client=bad):
                with self.assertRaises(cindervox.AuthError) as denied:
                    bad.health()
                self.assertEqual((denied.exception.message, denied.exception.status), ("invalid credentials", 401))
        with self.assertRaises(cindervox.SandboxError) as empty:
            self.terox.exec("")
        self.assertEqual((type(empty.exception), empty.exception.status, empty.exception.message),
                         (cindervox.SandboxError, 400, "empty command"))

    def test_budget_and_rate_window_raise_rate_limited(self):
        self.terox.call("POST", "/api/budget", {"agent": "spender", "max_tokens": 100})
        self.terox.exec("echo ok", agent="spender", tokens_in=60)
        with self.assertRaises(cindervox.RateLimited) as budget:
            self.terox.exec("echo no", agent="spender", tokens_out=50)
        error = budget.exception
        self.assertEqual((error.message, error.tokens_used, error.budget), ("token budget exceeded", 110, 100))

        self.terox.call("POST", "/api/config", {"rate_limit": 1})
        self.terox.exec("echo 1", agent="hasty")
        with self.assertRaises(cindervox.RateLimited) as limited:
            self.terox.exec("echo 2", agent="hasty")
        self.assertEqual(limited.exception.message, "per-agent rate limit exceeded")
        if limited.exception.retry_after is not None:
            self.assertGreater(limited.exception.retry_after, 0)

    def test_unreachable_server(self):
        with self.assertRaises(cindervox.SandboxError) as failed:
            cindervox.Terox("http://127.0.0.1:9", auth=(USER, PASSWORD), timeout=5).health()
        self.assertIsNone(failed.exception.status)
        self.assertIn("cannot reach", failed.exception.message)

    # Needs the server to decode the "cmd" field as a JSON string.
    def test_escaped_command_round_trips(self):
        self.set_profile(1)
        self.assertEqual(self.terox.exec(ESCAPED_COMMAND).stdout, ESCAPED_OUTPUT)


class _Answer:
    """What the client's opener returns for one request: a status and a JSON body."""

    def __init__(self, body, status=200):
        self.status = status
        self._raw = json.dumps(body).encode()

    def read(self):
        return self._raw

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False


class PythonClientRequestsTest(unittest.TestCase):
    """The Python client's requests, without a server: its opener records what each method
    sends and answers what the test gives it."""

    def client(self, answer):
        terox = cindervox.Terox("http://sandbox.test:7575", token="t0k", agent="default-agent")
        self.sent = []

        def opener(request, timeout):
            body = json.loads(request.data) if request.data is not None else None
            self.sent.append((request.get_method(), request.full_url, dict(request.header_items()), body))
            return _Answer(answer(body, request.full_url) if callable(answer) else answer)
        terox._opener.open = opener
        return terox

    def test_exec_sends_every_field_and_bytes_of_stdin_as_base64(self):
        terox = self.client({"ok": True, "stdout": "", "stderr": "", "exit_code": 0, "duration_ms": 1})
        terox.exec("make test", agent="builder", cwd="src", env={"CI": "1"}, stdin="in\n",
                   timeout_ms=1500, merge_stderr=True, model="m", tokens_in=3, tokens_out=4)
        method, url, headers, body = self.sent[0]
        self.assertEqual((method, url, headers["X-agent"], headers["Authorization"]),
                         ("POST", "http://sandbox.test:7575/api/exec", "builder", "Bearer t0k"))
        self.assertEqual(body, {"cmd": "make test", "cwd": "src", "env": {"CI": "1"}, "stdin": "in\n",
                                "timeout_ms": 1500, "merge_stderr": True, "model": "m", "tokens_in": 3,
                                "tokens_out": 4})
        terox.exec("wc -c", stdin=b"\x00\xff\n\x80")
        self.assertEqual(self.sent[1][3], {"cmd": "wc -c", "stdin": "AP8KgA==", "stdin_encoding": "base64"})
        self.assertEqual(self.sent[1][2]["X-agent"], "default-agent")
        terox.exec("true")
        self.assertEqual(self.sent[2][3], {"cmd": "true"})

    def test_exec_result_has_both_streams_and_what_was_cut(self):
        answer = {"ok": True, "stdout": "head\n[... 10 bytes omitted ...]\ntail", "stderr": "boom",
                  "exit_code": 159, "duration_ms": 7, "stdout_bytes": 3000000, "stderr_bytes": 4,
                  "stdout_truncated": True, "stderr_truncated": False, "killed_by": "seccomp",
                  "call": "ptrace", "ignored_fields": ["timeout"]}
        result = self.client(answer).exec("x")
        self.assertEqual((result.stderr, result.stdout_bytes, result.stdout_truncated, result.stderr_truncated,
                          result.killed_by, result.call, result.ignored_fields, result.raw),
                         ("boom", 3000000, True, False, "seccomp", "ptrace", ["timeout"], answer))

    def test_write_read_and_list_requests(self):
        def answer(body, url):
            if url.endswith("/api/write"):
                return {"ok": True, "path": body["path"], "bytes_written": 4, "size": 12}
            if url.endswith("/api/list"):
                return {"ok": True, "path": body["path"], "count": 1, "truncated": True,
                        "entries": [{"name": "a", "type": "file", "size": 3, "mode": "0644", "mtime": 9}]}
            if body.get("encoding") == "base64":
                return {"ok": True, "path": body["path"], "size": 4, "offset": 0, "bytes": 4,
                        "encoding": "base64", "content": "AP8KgA==", "eof": True}
            return {"ok": True, "path": body["path"], "size": 100, "offset": 10, "bytes": 5,
                    "encoding": "utf-8", "content": "ab\ufffdcd", "eof": False, "lossy": True}
        terox = self.client(answer)
        written = terox.write("/tmp/run.sh", "ls\n", mode=0o755, append=True)
        self.assertEqual(self.sent[0][3], {"path": "/tmp/run.sh", "content": "ls\n", "mode": "0755", "append": True})
        self.assertEqual((written.bytes_written, written.size), (4, 12))
        terox.write("/tmp/bin", b"\x89PNG", mode="0600")
        self.assertEqual(self.sent[1][3], {"path": "/tmp/bin", "content": "iVBORw==", "encoding": "base64", "mode": "0600"})
        terox.write("/tmp/empty", "")
        self.assertEqual(self.sent[2][3], {"path": "/tmp/empty", "content": ""})
        part = terox.read("/tmp/log", offset=10, length=5)
        self.assertEqual(self.sent[3][3], {"path": "/tmp/log", "offset": 10, "length": 5})
        self.assertEqual((part.content, part.offset, part.bytes, part.eof, part.truncated, part.lossy, part.data),
                         ("ab\ufffdcd", 10, 5, False, True, True, None))
        self.assertEqual(terox.read_bytes("/tmp/bin"), b"\x00\xff\n\x80")
        self.assertEqual(self.sent[4][3], {"path": "/tmp/bin", "encoding": "base64"})
        listing = terox.list("/tmp/src", agent="l")
        self.assertEqual((self.sent[5][1], self.sent[5][3]), ("http://sandbox.test:7575/api/list", {"path": "/tmp/src"}))
        self.assertEqual(listing, cindervox.ListResult("/tmp/src", [cindervox.FileEntry("a", "file", 3, "0644", 9)], 1, True))

    def test_audit_pages_and_the_reset_of_one_agent(self):
        def answer(body, url):
            if url.endswith("/profile"):
                return {"ok": True, "agent": "a b/c", "profile": "strict", "own": True}
            if "/api/agents/" in url:
                return {"ok": True, "agent": "a b/c", "runs_cancelled": 2}
            return {"entries": ["e"], "total": 9, "matched": 3, "returned": 1, "offset": 2}
        terox = self.client(answer)
        page = terox.audit_page("a b+c", limit=1, offset=2, order="newest")
        self.assertEqual(self.sent[0][:2], ("GET", "http://sandbox.test:7575/api/audit?agent=a%20b%2Bc&limit=1&offset=2&order=newest"))
        self.assertEqual(page, cindervox.AuditPage(["e"], 9, 3, 1, 2))
        self.assertEqual(terox.audit(), ["e"])
        self.assertEqual(self.sent[1][1], "http://sandbox.test:7575/api/audit")
        self.assertEqual(terox.reset_agent("a b/c"), {"ok": True, "agent": "a b/c", "runs_cancelled": 2})
        self.assertEqual(self.sent[2][:2], ("DELETE", "http://sandbox.test:7575/api/agents/a%20b%2Fc"))
        self.assertEqual(terox.set_agent_profile("a b/c", "strict")["own"], True)
        self.assertEqual(self.sent[3][:2], ("POST", "http://sandbox.test:7575/api/agents/a%20b%2Fc/profile"))
        self.assertEqual(self.sent[3][3], {"profile": "strict"})
        terox.set_agent_profile("a b/c", None)
        self.assertEqual(self.sent[4][3], {"profile": None})


@unittest.skipUnless(node_ready(), "run tests/install_deps.sh first (Node packages of tests/clients)")
class NodeClientsTest(ServerCase):
    """Runs a node --test file inside the instance's network namespace."""

    def run_node(self, test_file):
        command = ["nsenter", "--net=/proc/%d/ns/net" % self.instance.proc.pid,
                   "node", "--test", "--test-reporter=tap", test_file]
        env = dict(os.environ, CINDERVOX_URL=URL, CINDERVOX_TOKEN=TOKEN, MCP_SERVER=MCP_SERVER,
                   ESCAPED_COMMAND=ESCAPED_COMMAND, ESCAPED_OUTPUT=ESCAPED_OUTPUT)
        done = subprocess.run(command, cwd=NODE_DIR, env=env, capture_output=True, timeout=300)
        output = (done.stdout + done.stderr).decode("utf-8", "replace")
        self.assertEqual(done.returncode, 0, output)
        return output

    def test_js_client(self):
        self.run_node("js_client.test.mjs")

    def test_js_escaped_command_round_trips(self):
        self.run_node("js_escaped.test.mjs")

    def test_mcp_stdio_with_official_sdk(self):
        self.run_node("mcp_stdio.test.mjs")

    def test_js_client_requests(self):
        self.run_node("js_requests.test.mjs")


class McpStdioProtocolTest(unittest.TestCase):
    """The stdio server's protocol handling, without a sandbox behind it."""

    def converse(self, *messages):
        lines = "".join((m if isinstance(m, str) else json.dumps(m)) + "\n" for m in messages)
        env = dict(os.environ, TEROX_URL="http://127.0.0.1:9")
        done = subprocess.run([sys.executable, MCP_SERVER], input=lines.encode(), env=env,
                              capture_output=True, timeout=30)
        return [json.loads(line) for line in done.stdout.decode().splitlines()]

    def initialize(self, version):
        return {"jsonrpc": "2.0", "id": 1, "method": "initialize",
                "params": {"protocolVersion": version, "capabilities": {},
                           "clientInfo": {"name": "test", "version": "0"}}}

    def test_version_negotiation(self):
        for asked, agreed in (("2025-06-18", "2025-06-18"), ("2025-11-25", "2025-11-25"),
                              ("2024-11-05", "2025-11-25"), ("2099-01-01", "2025-11-25")):
            with self.subTest(asked=asked):
                answer, = self.converse(self.initialize(asked))
                self.assertEqual(answer["result"]["protocolVersion"], agreed)
                self.assertEqual(answer["result"]["serverInfo"]["name"], "cindervox")
                self.assertIn("tools", answer["result"]["capabilities"])

    def test_errors_and_notifications(self):
        answers = self.converse(
            self.initialize("2025-06-18"),
            {"jsonrpc": "2.0", "method": "notifications/initialized"},
            "{not json",
            {"jsonrpc": "2.0", "id": 2, "method": "ping"},
            {"jsonrpc": "2.0", "id": 3, "method": "resources/list"},
            {"jsonrpc": "2.0", "id": 4, "method": "tools/call", "params": {"name": "rm", "arguments": {}}},
            {"jsonrpc": "2.0", "id": 5, "method": "tools/call",
             "params": {"name": "execute_command", "arguments": {"command": 7}}},
            {"jsonrpc": "2.0", "id": 6, "method": "tools/call",
             "params": {"name": "execute_command", "arguments": {"command": "ls"}}})
        by_id = {a.get("id"): a for a in answers}
        self.assertEqual(len(answers), 7)  # the notification gets no answer
        self.assertEqual(by_id[None]["error"]["code"], -32700)
        self.assertEqual(by_id[2]["result"], {})
        self.assertEqual(by_id[3]["error"]["code"], -32601)
        self.assertEqual(by_id[4]["error"]["code"], -32602)
        # Bad arguments and an unreachable sandbox are tool errors the model can read.
        self.assertTrue(by_id[5]["result"]["isError"])
        self.assertIn("must be a string", by_id[5]["result"]["content"][0]["text"])
        self.assertTrue(by_id[6]["result"]["isError"])
        self.assertIn("cannot reach http://127.0.0.1:9", by_id[6]["result"]["content"][0]["text"])


class InstallTest(unittest.TestCase):
    def test_python_package_installs_without_an_index(self):
        target = tempfile.mkdtemp(prefix="cvx-pip-")
        self.addCleanup(shutil.rmtree, target, ignore_errors=True)
        source = os.path.join(target, "src")
        # A copy, so the build leaves nothing behind in the repository.
        shutil.copytree(os.path.join(harness.ROOT, "clients", "python"), source,
                        ignore=shutil.ignore_patterns("__pycache__"))
        subprocess.run([sys.executable, "-m", "pip", "install", "--no-index", "--quiet",
                        "--disable-pip-version-check", "--target", os.path.join(target, "site"),
                        source], check=True, capture_output=True, timeout=120)
        site = os.path.join(target, "site")
        self.assertTrue(os.path.exists(os.path.join(site, "cindervox", "py.typed")))
        probe = "import cindervox; print(cindervox.__file__); print(cindervox.PolicyRefused.__mro__[1].__name__)"
        out = subprocess.run([sys.executable, "-c", probe], env=dict(os.environ, PYTHONPATH=site),
                             cwd=target, capture_output=True, check=True).stdout.decode().split()
        self.assertEqual(out, [os.path.join(site, "cindervox", "__init__.py"), "SandboxError"])

    @unittest.skipUnless(node_ready(), "run tests/install_deps.sh first (Node packages of tests/clients)")
    def test_typescript_declarations(self):
        tsc = os.path.join(NODE_DIR, "node_modules", ".bin", "tsc")
        done = subprocess.run([tsc, "--noEmit", "-p", "types"], cwd=NODE_DIR, capture_output=True, timeout=120)
        self.assertEqual(done.returncode, 0, (done.stdout + done.stderr).decode())


if __name__ == "__main__":
    unittest.main()
