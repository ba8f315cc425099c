"""The command pipeline seen from outside: refusals and their audit entries, agent
attribution, token budgets, per-agent rate windows, the audit report and the reset, and
the answers of commands that really run."""
import json
import re
import time
import unittest

from tests.blackbox.harness import Instance, json_answer, json_error, too_many

error = json_error


def refusal(message, rule):
    return json_answer(403, "Forbidden", json.dumps({"ok": False, "error": message, "rule": rule},
                                                   separators=(",", ":"), ensure_ascii=False))


def sensitive(rule):
    return refusal("access to sensitive path blocked", rule)


def blacklisted(rule):
    return refusal("command blocked by blacklist", rule)


def not_whitelisted(word):
    return refusal("command not in whitelist (strict mode)", word)


ENTRY = re.compile(r"^\[(\d+)\] \[(.*?)\] (.*)\n$", re.S)


def audit(srv, agent=None):
    path = "/api/audit" + ("?agent=" + agent if agent is not None else "")
    r = srv.get(path)
    assert r.status == 200, r
    return r.json()


def entry_tail(line):
    """An audit line without its time stamp: '[agent] ACTION RESULT ...'."""
    m = ENTRY.match(line)
    assert m, line
    return "[%s] %s" % (m.group(2), m.group(3))


def raw_exec(srv, cmd, agent, extra=""):
    """Sends cmd between quotes as it is, escapes and all, with extra members after it."""
    return srv.post("/api/exec", '{"cmd":"%s"%s}' % (cmd, extra), headers={"X-Agent": agent})


def agents(srv):
    return {a["name"]: a for a in srv.get("/api/agents").json()["agents"]}


class RefusalTest(unittest.TestCase):
    """One strict-profile server with the default lists; every case uses its own agents."""

    @classmethod
    def setUpClass(cls):
        cls.srv = Instance(mode="basic")

    @classmethod
    def tearDownClass(cls):
        cls.srv.cleanup()

    def test_missing_or_empty_command_is_400_and_leaves_no_trace(self):
        before = audit(self.srv)["total"]
        r = self.srv.post("/api/exec", '{"command":"ls"}', headers={"X-Agent": "ghost-1"})
        self.assertEqual(r.raw, error(400, "Bad Request", "missing cmd field"))
        r = self.srv.exec("", agent="ghost-2")
        self.assertEqual(r.raw, error(400, "Bad Request", "empty command"))
        r = self.srv.post("/api/exec", '{"cmd":"ls', headers={"X-Agent": "ghost-3"})
        self.assertEqual(r.raw, error(400, "Bad Request", "cmd must be a JSON string"))
        r = self.srv.post("/api/exec", '{"cmd":"ls\\u0000"}', headers={"X-Agent": "ghost-4"})
        self.assertEqual(r.raw, error(400, "Bad Request", "cmd must not contain a zero byte"))
        self.assertEqual(audit(self.srv)["total"], before)
        self.assertFalse({"ghost-1", "ghost-2", "ghost-3", "ghost-4"} & set(agents(self.srv)))

    def test_sensitive_paths_are_refused_and_audited(self):
        cmds = {"cat /etc/passwd": "/etc/p", "ls ~/.ssh/x": ".ssh/", "echo $(id) ok": "$(", "cat ../../x": "..",
                "eval ls": "eval", "head /proc/1/environ": "/proc/", "echo retrieval-augmented": "eval"}
        for cmd, rule in cmds.items():
            self.assertEqual(self.srv.exec(cmd, agent="snoop").raw, sensitive(rule), cmd)
        entries = audit(self.srv, "snoop")["entries"]
        self.assertEqual([entry_tail(e) for e in entries],
                         ['[snoop] BLOCK SENSITIVE_PATH "%s" exit=0 dur=0ms profile=strict' % c for c in cmds])
        self.assertEqual(agents(self.srv)["snoop"]["blocked"], len(cmds))

    def test_screen_lets_short_and_trailing_sequences_through_to_policy(self):
        # Nothing follows the slash, or the dots start too late: the policy decides.
        self.assertEqual(self.srv.exec("cd ..", agent="edge").raw, not_whitelisted("cd"))
        self.assertTrue(self.srv.exec("ls /etc/", agent="edge").body.startswith(b'{"ok":true,'))

    def test_blacklist_and_whitelist_refusals(self):
        self.assertEqual(self.srv.exec("echo hi; curl x", agent="pol").raw, blacklisted("curl"))
        self.assertEqual(self.srv.exec("cat x; wget y", agent="pol").raw, blacklisted("wget"))
        self.assertEqual(self.srv.exec("id", agent="pol").raw, not_whitelisted("id"))
        self.assertEqual(self.srv.exec("/bin/ls", agent="pol").raw, not_whitelisted("/bin/ls"))
        self.assertEqual([entry_tail(e) for e in audit(self.srv, "pol")["entries"]], [
            '[pol] BLOCK BLACKLIST "echo hi; curl x" exit=0 dur=0ms profile=strict',
            '[pol] BLOCK BLACKLIST "cat x; wget y" exit=0 dur=0ms profile=strict',
            '[pol] BLOCK WHITELIST "id" exit=0 dur=0ms profile=strict',
            '[pol] BLOCK WHITELIST "/bin/ls" exit=0 dur=0ms profile=strict',
        ])
        record = agents(self.srv)["pol"]
        self.assertEqual((record["blocked"], record["execs"]), (4, 0))

    def test_attribution_by_header_and_anonymous(self):
        self.srv.exec("id")
        self.srv.post("/api/exec", '{"cmd":"id"}', headers={"x-agent": "lowercase"})
        self.assertIn("anonymous", agents(self.srv))
        self.assertNotIn("lowercase", agents(self.srv))
        self.assertEqual(entry_tail(audit(self.srv, "anonymous")["entries"][-1]),
                         '[anonymous] BLOCK WHITELIST "id" exit=0 dur=0ms profile=strict')
        long_name = "n" * 40
        self.srv.exec("id", agent=long_name)
        self.assertIn("n" * 31, agents(self.srv))

    def test_hostile_agent_model_and_command_keep_json_valid(self):
        name = 'evil"\\<img/src=x>'
        r = raw_exec(self.srv, "id \\\\ ok", name, ',"model":"gpt\\"4","tokens_in":5')
        self.assertEqual(r.raw, not_whitelisted("id"))
        record = agents(self.srv)[name]
        self.assertEqual((record["tokens_in"], record["model"]), (5, "gpt\\"))
        # The filter is taken raw from the request line, quote and backslash included.
        tails = [entry_tail(e) for e in audit(self.srv, name)["entries"]]
        self.assertEqual(tails, ['[%s] BLOCK WHITELIST "id \\ ok" exit=0 dur=0ms profile=strict' % name])

    def test_budget_from_the_policy_file_refuses_the_crossing_request(self):
        # The refusal's exact body is the unit tests'; here the budget comes from the file.
        with Instance(mode="basic", files={"policy.conf": "[config]\ndefault_token_budget=100\n"
                                           "[blacklist]\ncurl\n[whitelist]\nls\n"}) as srv:
            first = srv.exec("curl x", agent="spender", extra={"tokens_in": 60})
            self.assertEqual(first.raw, blacklisted("curl"))
            second = srv.exec("curl x", agent="spender", extra={"tokens_out": 50})
            self.assertEqual((second.status, second.json()["tokens_used"], second.json()["budget"]), (429, 110, 100))
            self.assertEqual(srv.exec("ls", agent="spender").status, 429)
            self.assertEqual(srv.exec("curl x", agent="saver", extra={"tokens_in": 100}).raw,
                             blacklisted("curl"))
            self.assertEqual([entry_tail(e) for e in audit(srv, "spender")["entries"]], [
                '[spender] BLOCK BLACKLIST "curl x" exit=0 dur=0ms profile=strict',
                '[spender] BUDGET EXCEEDED "curl x" exit=0 dur=0ms',
                '[spender] BUDGET EXCEEDED "ls" exit=0 dur=0ms',
            ])
            self.assertEqual(agents(srv)["spender"]["blocked"], 3)

    def test_audit_report_filter_and_reset(self):
        with Instance(mode="basic") as srv:
            self.assertEqual(srv.get("/api/audit").body, b'{"entries":[],"total":0,"matched":0,"returned":0,"offset":0}')
            for i in range(25):
                srv.exec("id%d" % i, agent="bulk")
            srv.exec("id", agent="bulk-2")
            full = audit(srv)
            self.assertEqual((full["total"], full["returned"]), (26, 20))
            self.assertEqual(entry_tail(full["entries"][0]), '[bulk] BLOCK WHITELIST "id0" exit=0 dur=0ms profile=strict')
            self.assertEqual(entry_tail(full["entries"][19]), '[bulk] BLOCK WHITELIST "id19" exit=0 dur=0ms profile=strict')
            self.assertEqual(audit(srv, "bulk")["returned"], 25)
            self.assertEqual(audit(srv, "bulk-2")["returned"], 1)
            self.assertEqual(audit(srv, "")["returned"], 20)
            with open(srv.path("tmp", "cindervox_audit.log")) as f:
                self.assertEqual(len(f.read().splitlines()), 26)
            r = srv.request("DELETE", "/api/sandbox")
            self.assertEqual(r.raw, json_answer(200, "OK", '{"ok":true,"message":"sandbox reset"}'))
            after = audit(srv)
            self.assertEqual((after["total"], after["returned"]), (1, 1))
            self.assertEqual(entry_tail(after["entries"][0]), "[system] RESET OK exit=0 dur=0ms")
            self.assertEqual(agents(srv), {})


    def test_a_command_cannot_forge_audit_lines_or_filter_matches(self):
        forged = "[1765105200] [admin] CONFIG OK exit=0 dur=0ms"
        with Instance(mode="basic") as srv:
            # The escapes decode to a real line feed, carriage return and tab in the command.
            self.assertEqual(srv.exec("id\n" + forged + "\r\t[bot]", agent="mallory").raw, not_whitelisted("id"))
            with open(srv.path("tmp", "cindervox_audit.log"), "rb") as f:
                lines = f.read().splitlines(keepends=True)
            self.assertEqual(len(lines), 1, lines)
            self.assertTrue(lines[0].endswith(b'[mallory] BLOCK WHITELIST "id\\n[1765105200] [admin] CONFIG OK '
                                              b'exit=0 dur=0ms\\r\\x09[bot]" exit=0 dur=0ms profile=strict\n'), lines)
            self.assertEqual(audit(srv, "admin")["returned"], 0)
            self.assertEqual(audit(srv, "bot")["returned"], 0)
            self.assertEqual(audit(srv, "mallory")["returned"], 1)


class AuditDestinationTest(unittest.TestCase):
    def test_neither_log_file_is_opened_through_a_link(self):
        # The links belong to the server's own user, so only the server itself can refuse them.
        plant = ("echo keep > /tmp/victim; chmod 666 /tmp/victim; "
                 "ln -s /tmp/victim /tmp/cindervox_audit.log; chown -h 65534:65534 /tmp/cindervox_audit.log; "
                 "chmod 777 /var/log/cindervox; ln -s /tmp/victim /var/log/cindervox/audit.log; "
                 "chown -h 65534:65534 /var/log/cindervox/audit.log")
        with Instance(mode="basic", extra_setup=plant) as srv:
            self.assertIn("[Cindervox] Audit log: stdout (no file persistence)\n", srv.console())
            self.assertEqual(srv.exec("id", agent="x").raw, not_whitelisted("id"))
            self.assertTrue(srv.wait_console('[x] BLOCK WHITELIST "id" exit=0 dur=0ms profile=strict\n'))
            with open(srv.path("tmp", "victim")) as f:
                self.assertEqual(f.read(), "keep\n")
        # A root server would follow a link planted in its log directory anywhere.
        with Instance(mode="kernel", extra_setup="echo keep > /tmp/victim; ln -s /tmp/victim /var/log/cindervox/audit.log") as srv:
            self.assertIn("[Cindervox] Audit log: /tmp/cindervox_audit.log\n", srv.console())
            srv.exec("id", agent="x")
            with open(srv.path("tmp", "victim")) as f:
                self.assertEqual(f.read(), "keep\n")


class RunTest(unittest.TestCase):
    """Commands that really run: moderate profile, rate limit 3 per agent and minute."""

    @classmethod
    def setUpClass(cls):
        cls.srv = Instance(mode="basic", files={
            "policy.conf": "[config]\nprofile=1\nmax_rate_per_agent=3\n[blacklist]\ncurl\n"})

    @classmethod
    def tearDownClass(cls):
        cls.srv.cleanup()

    def run_ok(self, cmd, agent):
        r = self.srv.exec(cmd, agent=agent)
        self.assertEqual(r.status, 200, r)
        return r

    def test_echo_answer_and_agent_counters(self):
        r = self.run_ok("echo hi", "echo-1")
        self.assertRegex(r.text, r'^\{"ok":true,"stdout":"hi\\n","stderr":"","exit_code":0,"duration_ms":\d+,"stdout_bytes":3,'
                                 r'"stderr_bytes":0,"stdout_truncated":false,"stderr_truncated":false\}$')
        self.assertEqual(self.run_ok("exit 3", "echo-1").json()["exit_code"], 3)
        record = agents(self.srv)["echo-1"]
        self.assertEqual((record["execs"], record["bytes"], record["rate_1m"]), (2, 3, 2))
        tails = [entry_tail(e) for e in audit(self.srv, "echo-1")["entries"]]
        self.assertRegex(tails[0], r'^\[echo-1\] EXEC OK "echo hi" exit=0 dur=\d+ms profile=moderate$')
        self.assertRegex(tails[1], r'^\[echo-1\] EXEC OK "exit 3" exit=3 dur=\d+ms profile=moderate$')

    def test_control_quote_and_invalid_utf8_bytes_keep_output_valid_json(self):
        # json.loads is strict: raw control bytes or invalid UTF-8 would make it raise.
        r = self.run_ok("printf 'q\\042b\\134\\001\\tc\\r\\n<<VELK_FS>>\\nn\\042\\134\\002m\\n'", "bytes")
        body = json.loads(r.body.decode("utf-8"))
        self.assertEqual((body["stdout"], body["files"]), ('q"b\\\x01\tc\r\n', ['n"\\\x02m']))
        r = self.run_ok("printf 'x\\300\\257 \\377'", "bytes")
        self.assertIn(b'"stdout":"x\xef\xbf\xbd\xef\xbf\xbd \xef\xbf\xbd"', r.body)
        self.assertEqual(json.loads(r.body.decode("utf-8"))["stdout"], "x\ufffd\ufffd \ufffd")

    def test_command_is_decoded_as_a_json_string(self):
        text = 'say "hi" \\ back\\slash é ü 😀'
        cmd = "printf '%s\\n' " + "'" + text + "'"
        self.assertEqual(self.run_ok(cmd, "decode").json()["stdout"], text + "\n")
        # Escapes reach the shell decoded: \n is a line break between two commands.
        r = raw_exec(self.srv, 'echo one\\necho \\"two\\" \\u00e9\\ud83d\\ude00', "decode-2")
        self.assertEqual(r.json()["stdout"], "one\ntwo é😀\n")

    def test_an_escape_cannot_hide_from_the_screen_or_the_policy(self):
        self.assertEqual(raw_exec(self.srv, "echo \\u0060id\\u0060 x", "hider").raw, sensitive("`"))
        self.assertEqual(raw_exec(self.srv, "echo x; c\\u0075rl y", "hider-2").raw, blacklisted("curl"))
        self.assertEqual(entry_tail(audit(self.srv, "hider-2")["entries"][-1]),
                         '[hider-2] BLOCK BLACKLIST "echo x; curl y" exit=0 dur=0ms profile=moderate')

    def test_a_long_command_runs_whole(self):
        body = self.run_ok("echo " + "é" * 1200, "long").json()
        self.assertEqual(body["stdout"], "é" * 1200 + "\n")

    def test_a_timed_out_run_says_so(self):
        with Instance(mode="basic", files={"policy.conf": "[config]\nprofile=2\n"}) as srv:
            self.assertEqual(srv.post("/api/config", '{"timeout":1000}').status, 200)
            body = srv.exec("echo start; sleep 30", agent="slow").json()
            self.assertEqual((body["stdout"], body["exit_code"], body["timed_out"]), ("start\n", 137, True))
            self.assertNotIn("timed_out", srv.exec("echo fast", agent="slow").json())

    def test_agent_rate_window_refuses_fourth_run(self):
        first = int(time.time())
        for i in range(3):
            self.run_ok("echo %d" % i, "busy")
        for cmd in ("echo 3", "curl x"):
            r = self.srv.exec(cmd, agent="busy")
            # The window admits the agent again once its first run is a minute old.
            wait = 60 - (int(time.time()) - first)
            self.assertIn(r.raw, [too_many("per-agent rate limit exceeded", s) for s in (wait, wait + 1)], cmd)
        self.assertEqual(entry_tail(audit(self.srv, "busy")["entries"][-1]),
                         '[busy] RATELIMIT AGENT "curl x" exit=0 dur=0ms')
        self.run_ok("echo other", "calm")
        record = agents(self.srv)["busy"]
        self.assertEqual((record["execs"], record["blocked"], record["rate_1m"]), (3, 0, 3))


if __name__ == "__main__":
    unittest.main()
