"""What an agent sends is what runs, and what the command prints is what the agent gets:
commands are taken whole up to max_cmd_bytes and refused beyond it, standard output and
standard error come apart (or merged on request) with their totals and the head and tail of
what did not fit, and cwd, env, stdin and timeout_ms take effect or are refused with their
reason; members the server does not know are named in the answer. Each case runs in kernel
isolation and in rootless basic isolation."""
import base64
import hashlib
import json
import os
import threading
import time
import unittest

from tests.blackbox.harness import Instance, json_error

# Moderate: commands beyond the strict whitelist run, with a 30 s time-out.
MODERATE = "[config]\nprofile=1\n"
MODERATE_TIMEOUT_MS = 30000
MAX_OUTPUT_BYTES = 1048576


def marker(omitted):
    return "\n[... %d bytes omitted ...]\n" % omitted


class FidelityCases:
    mode = None

    @classmethod
    def setUpClass(cls):
        cls.srv = Instance(mode=cls.mode, files={"policy.conf": MODERATE})

    @classmethod
    def tearDownClass(cls):
        cls.srv.cleanup()

    def run_ok(self, cmd, agent, srv=None, **extra):
        """The answer of a command that ran, as JSON."""
        r = (srv or self.srv).exec(cmd, agent=agent, extra=extra)
        self.assertEqual(r.status, 200, r)
        return r.json()

    def refused(self, cmd, agent, message, **extra):
        r = self.srv.exec(cmd, agent=agent, extra=extra)
        self.assertEqual(r.raw, json_error(400, "Bad Request", message))

    def audit_file_text(self, srv):
        for path in (srv.path("log", "audit.log"), srv.path("tmp", "cindervox_audit.log")):
            if os.path.exists(path):
                with open(path, "rb") as f:
                    return f.read().decode("utf-8", "replace")
        self.fail("no audit file")

    # ---- commands are never cut ----

    def test_a_command_past_two_thousand_bytes_runs_whole(self):
        # Cut at 2,000 bytes this command would end in "rm -f data.txt".
        agent = "whole-" + self.mode
        self.run_ok("touch data.txt data.txt.bak", agent)
        padding = "x" * 1979
        answer = self.run_ok("echo " + padding + "; rm -f data.txt.bak", agent)
        self.assertEqual((answer["stdout"], answer["exit_code"]), (padding + "\n", 0))
        self.assertEqual(self.run_ok("ls", agent)["stdout"], "data.txt\n")

    def test_command_lengths_up_to_the_limit_run_and_past_it_are_refused_and_audited(self):
        agent = "limit-" + self.mode
        at_limit = ": " + "y" * (65536 - 3) + "z"
        self.assertEqual(len(at_limit.encode()), 65536)
        self.assertEqual(self.run_ok(at_limit, agent)["exit_code"], 0)
        # Lengths are of the decoded command: "é" is two bytes.
        over = at_limit + "é"
        self.refused(over, agent, "command too long (65538 bytes, limit 65536)")
        entries = self.srv.get("/api/audit?agent=" + agent).json()["entries"]
        self.assertRegex(entries[-1], r'^\[\d+\] \[%s\] BLOCK TOO_LONG ": y{148}" detail_bytes=65538 exit=0 dur=0ms\n$' % agent)
        # The destination keeps the command's first max_cmd_bytes bytes, marked.
        lines = [l for l in self.audit_file_text(self.srv).splitlines() if "TOO_LONG" in l and agent in l]
        self.assertTrue(lines[-1].endswith('"%s" detail_bytes=65538 exit=0 dur=0ms' % at_limit), lines[-1][-120:])

    def test_the_kernels_longest_argument_runs_when_configured(self):
        srv = Instance(mode=self.mode, files={"policy.conf": MODERATE, "config": "max_cmd_bytes=131071\n"})
        self.addCleanup(srv.cleanup)
        cmd = "printf %s " + "w" * (131071 - 18) + " | wc -c"
        self.assertEqual(len(cmd), 131071)
        self.assertEqual(self.run_ok(cmd, "longest", srv=srv)["stdout"].strip(), str(131071 - 18))
        r = srv.exec(cmd + " ", agent="longest")
        self.assertEqual(r.raw, json_error(400, "Bad Request", "command too long (131072 bytes, limit 131071)"))

    # ---- output ----

    def test_stdout_and_stderr_come_apart_with_their_totals(self):
        answer = self.run_ok("echo out; echo err >&2; echo more; exit 3", "streams-" + self.mode)
        self.assertEqual({k: answer[k] for k in ("stdout", "stderr", "exit_code", "stdout_bytes", "stderr_bytes",
                                                 "stdout_truncated", "stderr_truncated")},
                         {"stdout": "out\nmore\n", "stderr": "err\n", "exit_code": 3, "stdout_bytes": 9,
                          "stderr_bytes": 4, "stdout_truncated": False, "stderr_truncated": False})

    def test_three_megabytes_on_stderr_keep_the_error_on_the_last_line(self):
        last = "error: expected ';' before '}' token\n"
        cmd = "head -c 3000000 /dev/zero | tr '\\0' x >&2; printf \"%s\" >&2; exit 1" % last.replace("\n", "\\n")
        answer = self.run_ok(cmd, "bigerr-" + self.mode)
        total = 3000000 + len(last)
        whole = "x" * 3000000 + last
        half = MAX_OUTPUT_BYTES // 2
        self.assertEqual((answer["stderr_bytes"], answer["stderr_truncated"], answer["exit_code"]), (total, True, 1))
        self.assertTrue(answer["stderr"].endswith(last))
        self.assertEqual(answer["stderr"], whole[:half] + marker(total - MAX_OUTPUT_BYTES) + whole[-half:])
        self.assertEqual((answer["stdout"], answer["stdout_bytes"], answer["stdout_truncated"]), ("", 0, False))

    def test_bytes_that_are_not_utf8_are_replaced_and_said_so(self):
        answer = self.run_ok("printf 'a\\377b'; printf '\\303' >&2", "lossy-" + self.mode)
        self.assertEqual((answer["stdout"], answer["stdout_lossy"], answer["stdout_bytes"]), ("a\ufffdb", True, 3))
        self.assertEqual((answer["stderr"], answer["stderr_lossy"]), ("\ufffd", True))
        self.assertNotIn("stdout_lossy", self.run_ok("echo fine", "lossy-" + self.mode))

    def test_merge_stderr_keeps_one_stream_in_order(self):
        answer = self.run_ok("echo a; echo b >&2; echo c", "merged-" + self.mode, merge_stderr=True)
        self.assertEqual((answer["stdout"], answer["stderr"], answer["stdout_bytes"], answer["stderr_bytes"]),
                         ("a\nb\nc\n", "", 6, 0))

    # ---- cwd, env, stdin, timeout_ms ----

    def test_cwd_takes_effect_inside_the_workspace_and_is_refused_elsewhere(self):
        agent = "cwd-" + self.mode
        self.run_ok("mkdir -p proj/src; touch proj/file", agent)
        self.assertEqual(self.run_ok("pwd", agent, cwd="proj/src")["stdout"], "/tmp/proj/src\n")
        self.assertEqual(self.run_ok("pwd", agent, cwd="/tmp/proj/./src/")["stdout"], "/tmp/proj/src\n")
        self.assertEqual(self.run_ok("pwd", agent)["stdout"], "/tmp\n")
        self.refused("pwd", agent, "no such directory: /tmp/missing", cwd="/tmp/missing")
        self.refused("pwd", agent, "not a directory: /tmp/proj/file", cwd="proj/file")
        self.refused("pwd", agent, "cwd must be inside the workspace (/tmp)", cwd="/etc")
        self.refused("pwd", agent, "cwd must be inside the workspace (/tmp)", cwd="proj/../../etc")

    def test_env_reaches_the_command_after_the_servers_own(self):
        agent = "env-" + self.mode
        answer = self.run_ok('echo "$GREETING|$EMPTY|$PATH|$HOME"; env | grep -c "^GREETING="', agent,
                             env={"GREETING": "hello world", "EMPTY": ""})
        self.assertEqual(answer["stdout"], "hello world||/usr/bin:/bin|/tmp\n1\n")
        self.refused("env", agent, "env variable LD_PRELOAD is not allowed", env={"LD_PRELOAD": "/tmp/x.so"})
        self.refused("env", agent, "env variable PATH is set by the server", env={"PATH": "/tmp"})
        self.refused("env", agent, "env variable names must match [A-Za-z_][A-Za-z0-9_]*: A-B", env={"A-B": "1"})
        self.refused("env", agent, "env values must be strings", env={"N": 1})
        self.refused("env", agent, "env is too large (32775 bytes, limit 32768)", env={"BIG": "v" * 32770})

    def test_stdin_is_fed_as_text_or_base64(self):
        agent = "stdin-" + self.mode
        self.assertEqual(self.run_ok("wc -l", agent, stdin="one\ntwo\n")["stdout"].strip(), "2")
        data = os.urandom(700000)
        answer = self.run_ok("sha256sum", agent, stdin=base64.b64encode(data).decode(), stdin_encoding="base64")
        self.assertEqual(answer["stdout"], hashlib.sha256(data).hexdigest() + "  -\n")
        # Without stdin the input is empty.
        self.assertEqual(self.run_ok("wc -c", agent)["stdout"].strip(), "0")
        self.refused("cat", agent, "stdin is too large (1048577 bytes, limit 1048576)", stdin="s" * 1048577)
        self.refused("cat", agent, "stdin is not valid Base64", stdin="no*base64", stdin_encoding="base64")

    def test_a_command_that_never_reads_its_stdin_stalls_nothing(self):
        agent = "noread-" + self.mode
        result = {}

        def slow():
            result["answer"] = self.run_ok("sleep 1.5; echo done", agent, stdin="z" * 1048576)

        t = threading.Thread(target=slow)
        t.start()
        time.sleep(0.4)
        health = self.srv.get("/api/health")
        self.assertEqual(health.status, 200)
        self.assertNotIn("answer", result, "the server answered only once the command had ended")
        t.join(20)
        self.assertEqual((result["answer"]["stdout"], result["answer"]["exit_code"]), ("done\n", 0))
        # One that stops reading early ends as it chose to; its input's end is not an error.
        answer = self.run_ok("head -c 5", agent, stdin="q" * 1048576)
        self.assertEqual((answer["stdout"], answer["exit_code"]), ("qqqqq", 0))

    def test_timeout_ms_ends_a_run_sooner_and_is_bounded_by_the_profile(self):
        agent = "timeout-" + self.mode
        answer = self.run_ok("sleep 10", agent, timeout_ms=400)
        self.assertEqual((answer["timed_out"], answer["exit_code"]), (True, 137))
        self.assertLess(answer["duration_ms"], 5000)
        self.assertNotIn("timed_out", self.run_ok("sleep 0.1", agent, timeout_ms=5000))
        self.refused("true", agent, "timeout_ms %d is over the limit of %d for this profile"
                     % (MODERATE_TIMEOUT_MS + 1, MODERATE_TIMEOUT_MS), timeout_ms=MODERATE_TIMEOUT_MS + 1)
        self.refused("true", agent, "timeout_ms must be a whole number of milliseconds, at least 1", timeout_ms=0)

    def test_members_the_server_does_not_know_are_named(self):
        answer = self.run_ok("echo hi", "ignored-" + self.mode, timeout=5, stdinn="x")
        self.assertEqual((answer["stdout"], answer["ignored_fields"]), ("hi\n", ["timeout", "stdinn"]))
        self.assertNotIn("ignored_fields", self.run_ok("echo hi", "ignored-" + self.mode))

    def test_the_mcp_tool_result_carries_both_streams(self):
        body = {"jsonrpc": "2.0", "id": 7, "method": "tools/call",
                "params": {"name": "execute_command", "arguments": {"command": "echo out; echo err >&2; exit 2"}}}
        r = self.srv.post("/mcp", json.dumps(body))
        self.assertEqual(r.status, 200, r)
        result = r.json()["result"]
        self.assertEqual(result["content"], [{"type": "text", "text": "out\n"}, {"type": "text", "text": "[stderr]\nerr\n"},
                                             {"type": "text", "text": "exit code 2"}])
        self.assertEqual((result["structuredContent"]["stderr"], result["isError"]), ("err\n", False))


class KernelFidelity(FidelityCases, unittest.TestCase):
    mode = "kernel"


class BasicFidelity(FidelityCases, unittest.TestCase):
    mode = "basic"


if __name__ == "__main__":
    unittest.main()
