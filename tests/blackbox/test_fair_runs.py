"""Each agent's share of the runs: its running and queued runs together are bounded
(max_runs_per_agent=), so another agent's command still starts at once; a run counts in the
agent's window when admitted; a client that leaves has its run dropped (queued) or killed
with its process tree (running), audited as CANCELLED; a run that cannot start is answered
with the step and the error, never as a command that ran."""
import json
import time
import unittest

from tests.blackbox.harness import Instance, json_error, recv_all, request_bytes, too_many
from tests.blackbox.test_sandbox_escape import processes_with, token

AGENTS = "alpha:tok-alpha-1\nbravo:tok-bravo-2\n"
TOKEN_SETUP = "chmod 600 /etc/cindervox/agents"
MODERATE = "[config]\nprofile=1\n"
PERMISSIVE = "[config]\nprofile=2\n"
SHARE_REFUSAL = too_many("too many commands in flight for this agent", 1)


def wait_next_second():
    time.sleep(int(time.time()) + 1 - time.time() + 0.02)


def exec_bytes(cmd, agent=None, auth=None):
    headers = {"X-Agent": agent} if agent else None
    kw = {"auth": auth} if auth else {}
    return request_bytes("POST", "/api/exec", json.dumps({"cmd": cmd}), headers=headers, **kw)


def send_open(srv, data):
    """A connection that has sent data and waits for its answer; the caller closes it."""
    s = srv.connect()
    s.sendall(data)
    return s


def answer_within(s, seconds):
    """The whole answer on s, or b"" when none came within seconds."""
    s.settimeout(seconds)
    try:
        return recv_all(s)
    except TimeoutError:
        return b""


def audit_of(srv, agent):
    return srv.get("/api/audit?agent=" + agent).json()["entries"]


class RunShareTest(unittest.TestCase):
    """Kernel mode, moderate profile, the default of eight run slots: an agent holds at
    most four runs, so another agent's command starts while the first one floods."""

    def test_an_agent_flooding_sleeps_leaves_room_for_another(self):
        with Instance(mode="kernel", files={"agents": AGENTS, "policy.conf": MODERATE}, extra_setup=TOKEN_SETUP) as srv:
            flood = exec_bytes("sleep 30", auth="Bearer tok-alpha-1")
            held = []
            try:
                # 42 requests, 14 a second: under the global limit of 20 a second.
                for second in range(3):
                    wait_next_second()
                    held += [send_open(srv, flood) for _ in range(14)]
                time.sleep(0.5)
                answers = [answer_within(s, 0.5) for s in held]
                refused = [a for a in answers if a]
                self.assertEqual(len(refused), 38)
                self.assertEqual(set(refused), {SHARE_REFUSAL})
                wait_next_second()
                started = time.time()
                r = srv.exec("echo from-bravo", auth="Bearer tok-bravo-2", pace=False)
                self.assertEqual(r.status, 200, r.raw[:200])
                self.assertEqual(r.json()["stdout"], "from-bravo\n")
                self.assertLess(time.time() - started, 1.0)
                # The four admitted runs count in alpha's window already.
                alpha = [a for a in srv.get("/api/agents").json()["agents"] if a["name"] == "alpha"][0]
                self.assertEqual(alpha["rate_1m"], 4)
                entries = audit_of(srv, "alpha")
                self.assertEqual(sum('RATELIMIT RUNS "sleep 30"' in e for e in entries), 38)
            finally:
                for s in held:
                    s.close()
            # Their clients have gone: the four runs end at once, audited as cancelled.
            time.sleep(0.5)
            entries = audit_of(srv, "alpha")
            cancelled = [e for e in entries if 'EXEC CANCELLED "sleep 30"' in e]
            self.assertEqual(len(cancelled), 4, entries[-6:])
            self.assertTrue(all("exit=137" in e for e in cancelled), cancelled)
            self.assertEqual(srv.exec("echo again", auth="Bearer tok-alpha-1").json()["stdout"], "again\n")

    def test_the_configured_share_holds_and_is_range_checked(self):
        config = "max_concurrent_runs=4\nmax_runs_per_agent=321\nmax_runs_per_agent=3\n"
        with Instance(mode="kernel", files={"policy.conf": PERMISSIVE, "config": config}) as srv:
            self.assertIn("line 2: max_runs_per_agent must be a whole number from 0 to 320; ignored", srv.console())
            wait_next_second()
            held = [send_open(srv, exec_bytes("sleep 5", agent="share")) for _ in range(4)]
            try:
                answers = [answer_within(s, 0.5) for s in held]
                self.assertEqual(answers, [b"", b"", b"", SHARE_REFUSAL])
                self.assertEqual(srv.exec("echo other", agent="other").json()["stdout"], "other\n")
            finally:
                for s in held:
                    s.close()


class DepartureCases:
    """A client that leaves: its queued run never runs, its running run ends with every
    process it started. One run slot, so a second agent's run waits behind the first."""
    mode = None

    def setUp(self):
        self.srv = Instance(mode=self.mode, files={"policy.conf": PERMISSIVE, "config": "max_concurrent_runs=1\n"})
        self.addCleanup(self.srv.cleanup)

    def file_exists(self, agent, path):
        r = self.srv.exec("test -e %s && echo yes || echo no" % path, agent=agent)
        self.assertEqual(r.status, 200, r.raw[:200])
        return r.json()["stdout"] == "yes\n"

    def test_a_queued_run_whose_client_left_is_dropped_unrun(self):
        mark = token()
        first = send_open(self.srv, exec_bytes("sleep 1.5; echo first", agent="holder"))
        time.sleep(0.3)
        queued = send_open(self.srv, exec_bytes("touch /tmp/queued-%s" % mark, agent="leaver"))
        time.sleep(0.3)
        queued.close()
        self.assertIn(b'"stdout":"first\\n"', answer_within(first, 5))
        first.close()
        time.sleep(0.2)
        self.assertFalse(self.file_exists("leaver", "/tmp/queued-%s" % mark))
        entries = audit_of(self.srv, "leaver")
        self.assertIn('[leaver] EXEC CANCELLED "touch /tmp/queued-%s" exit=-1 dur=0ms' % mark, entries[0])

    def test_a_running_run_whose_client_left_is_killed_with_its_children(self):
        mark = token()
        cmd = "sleep 3%s & sleep 2; touch /tmp/late-%s" % (mark, mark)
        s = send_open(self.srv, exec_bytes(cmd, agent="leaver"))
        time.sleep(0.5)
        self.assertNotEqual(processes_with(mark), [])
        s.close()
        time.sleep(0.5)
        self.assertEqual(processes_with(mark), [], "a process of the cancelled run is left")
        entries = audit_of(self.srv, "leaver")
        self.assertRegex(entries[0], r'^\[\d+\] \[leaver\] EXEC CANCELLED ".*" exit=137 dur=\d+ms')
        time.sleep(2)
        self.assertFalse(self.file_exists("leaver", "/tmp/late-%s" % mark))
        self.assertTrue(self.srv.alive())


class KernelDeparture(DepartureCases, unittest.TestCase):
    mode = "kernel"


class BasicDeparture(DepartureCases, unittest.TestCase):
    mode = "basic"


class PlainDeparture(DepartureCases, unittest.TestCase):
    mode = "plain"


class McpDepartureTest(unittest.TestCase):
    def test_a_tool_call_whose_client_left_is_cancelled_and_the_next_answer_is_its_own(self):
        with Instance(mode="kernel", files={"policy.conf": PERMISSIVE, "config": "max_concurrent_runs=1\n"}) as srv:
            mark = token()
            holder = send_open(srv, exec_bytes("sleep 1; echo held", agent="holder"))
            time.sleep(0.2)
            rpc = {"jsonrpc": "2.0", "id": 7, "method": "tools/call",
                   "params": {"name": "execute_command", "arguments": {"command": "touch /tmp/mcp-%s" % mark, "agent": "mcp-leaver"}}}
            call = send_open(srv, request_bytes("POST", "/mcp", json.dumps(rpc)))
            time.sleep(0.2)
            call.close()
            # The next connection likely gets the descriptor back; its answer is its own.
            self.assertEqual(srv.get("/api/health").status, 200)
            self.assertIn(b"held", answer_within(holder, 5))
            holder.close()
            entries = audit_of(srv, "mcp-leaver")
            self.assertEqual(len(entries), 1, entries)
            self.assertIn('EXEC CANCELLED "touch /tmp/mcp-%s"' % mark, entries[0])


class NotStartedTest(unittest.TestCase):
    def test_a_run_the_process_limit_keeps_from_starting_is_an_error_naming_the_step(self):
        # The server's uid may have one process (itself), so every clone fails with EAGAIN.
        launch = ("prlimit --nproc=1:1 setpriv --reuid=64998 --regid=64998 --clear-groups "
                  "--inh-caps=-all --bounding-set=-all")
        with Instance(mode="basic", launch=launch) as srv:
            r = srv.exec("echo never", agent="starved")
            self.assertEqual(r.raw, json_error(
                503, "Service Unavailable", "the command could not be started: clone: Resource temporarily unavailable (EAGAIN)"))
            entries = audit_of(srv, "starved")
            self.assertRegex(entries[0], r'\[starved\] EXEC NOT_STARTED "echo never" exit=-1 dur=\d+ms')
            self.assertEqual(srv.get("/api/health").json()["total_execs"], 0)


if __name__ == "__main__":
    unittest.main()
