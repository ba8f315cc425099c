"""Background runs: "background":true answers 202 with a run id; the run's output is read
from an offset and streamed as events that resume from Last-Event-ID; its stdin is written
until "eof"; DELETE ends its whole process tree; an agent sees and touches only its own
runs; the pool and each agent's share are bounded; its start and end are audited."""
import json
import time
import unittest

from tests.blackbox.harness import json_error, request_bytes
from tests.blackbox.harness import Instance
from tests.blackbox.test_exec_stream import EventReader
from tests.blackbox.test_sandbox_escape import processes_with

MODERATE = "[config]\nprofile=1\n"


def start(srv, cmd, agent, **members):
    body = {"cmd": cmd, "background": True}
    body.update(members)
    return srv.post("/api/exec", json.dumps(body), headers={"X-Agent": agent})


def status(srv, run_id, agent, query=""):
    return srv.get("/api/runs/%d%s" % (run_id, query), headers={"X-Agent": agent})


def wait_state(srv, run_id, agent, predicate, timeout=10.0):
    deadline = time.time() + timeout
    while True:
        r = status(srv, run_id, agent).json()
        if predicate(r) or time.time() > deadline:
            return r
        time.sleep(0.1)


def write_stdin(srv, run_id, agent, **members):
    return srv.post("/api/runs/%d/stdin" % run_id, json.dumps(members), headers={"X-Agent": agent})


class BackgroundTest(unittest.TestCase):
    mode = "basic"

    @classmethod
    def setUpClass(cls):
        cls.srv = Instance(mode=cls.mode, files={"policy.conf": MODERATE})

    @classmethod
    def tearDownClass(cls):
        cls.srv.cleanup()

    def test_a_run_reading_stdin_echoes_what_is_written_and_ends_on_eof(self):
        srv = self.srv
        r = start(srv, "cat", "bg-echo")
        self.assertEqual(r.status, 202, r)
        run_id = r.json()["run_id"]
        self.assertEqual(r.json(), {"ok": True, "run_id": run_id})
        self.assertEqual(write_stdin(srv, run_id, "bg-echo", data="hello\n").json(),
                         {"ok": True, "bytes": 6, "written": 6, "stdin_open": True})
        r = wait_state(srv, run_id, "bg-echo", lambda r: r["output_bytes"] >= 6)
        self.assertEqual((r["state"], r["output"], r["next_offset"], r["stdin_open"]), ("running", "hello\n", 6, True))
        # A literal is read whole: "truex" is neither true nor false.
        for bad in ('{"eof":truex}', '{"eof":true1}', '{"eof":falsey,"data":"x"}'):
            r = srv.post("/api/runs/%d/stdin" % run_id, bad, headers={"X-Agent": "bg-echo"})
            self.assertEqual(r.raw, json_error(400, "Bad Request", "eof must be true or false"), bad)
        self.assertEqual(write_stdin(srv, run_id, "bg-echo", data="bye\n", eof=True).json(),
                         {"ok": True, "bytes": 4, "written": 4, "stdin_open": False})
        r = wait_state(srv, run_id, "bg-echo", lambda r: r["state"] == "exited")
        self.assertEqual((r["exit_code"], r["output"], r["offset"], r["next_offset"]), (0, "hello\nbye\n", 0, 10))
        r = status(srv, run_id, "bg-echo", "?offset=6").json()
        self.assertEqual((r["output"], r["offset"], r["next_offset"], r["dropped"]), ("bye\n", 6, 10, 0))
        self.assertEqual(write_stdin(srv, run_id, "bg-echo", data="late").raw, json_error(409, "Conflict", "the run has ended"))
        entries = srv.get("/api/audit?agent=bg-echo").json()["entries"]
        self.assertEqual([e.split("] ", 2)[2].split(" exit=")[0] for e in entries],
                         ['BACKGROUND STARTED "cat"', 'EXEC OK "cat"'])

    def test_delete_ends_the_whole_process_tree(self):
        srv = self.srv
        marker = "sleep 3071.5"
        r = start(srv, "setsid sh -c '%s' & %s; echo never" % (marker, marker), "bg-stop")
        run_id = r.json()["run_id"]
        deadline = time.time() + 5
        while len(processes_with(marker)) < 2 and time.time() < deadline:
            time.sleep(0.05)
        self.assertEqual(len(processes_with(marker)), 2)
        r = srv.request("DELETE", "/api/runs/%d" % run_id, headers={"X-Agent": "bg-stop"})
        self.assertEqual(r.json(), {"ok": True, "run_id": run_id, "stopped": True})
        r = wait_state(srv, run_id, "bg-stop", lambda r: r["state"] == "exited")
        self.assertEqual((r["exit_code"], r["stopped"], r["output"]), (137, True, ""))
        deadline = time.time() + 3
        while processes_with(marker) and time.time() < deadline:
            time.sleep(0.05)
        self.assertEqual(processes_with(marker), [])
        r = srv.request("DELETE", "/api/runs/%d" % run_id, headers={"X-Agent": "bg-stop"})
        self.assertEqual(r.json(), {"ok": True, "run_id": run_id, "stopped": False})
        # Its end is audited as stopped, not as the exit code of the kill.
        entries = srv.get("/api/audit?agent=bg-stop").json()["entries"]
        self.assertEqual([e.split("] ", 2)[2].split(" ", 2)[:2] for e in entries], [["BACKGROUND", "STARTED"], ["EXEC", "STOPPED"]])

    def test_an_agent_sees_and_touches_only_its_own_runs(self):
        srv = self.srv
        run_id = start(srv, "sleep 30", "bg-owner").json()["run_id"]
        missing = json_error(404, "Not Found", "no such run")
        self.assertEqual(status(srv, run_id, "bg-other").raw, missing)
        self.assertEqual(srv.request("DELETE", "/api/runs/%d" % run_id, headers={"X-Agent": "bg-other"}).raw, missing)
        self.assertEqual(write_stdin(srv, run_id, "bg-other", data="x").raw, missing)
        self.assertEqual(srv.get("/api/runs/%d/events" % run_id, headers={"X-Agent": "bg-other"}).raw, missing)
        self.assertEqual(srv.get("/api/runs", headers={"X-Agent": "bg-other"}).json(), {"ok": True, "runs": [], "count": 0})
        own = srv.get("/api/runs", headers={"X-Agent": "bg-owner"}).json()
        self.assertEqual([(r["run_id"], r["agent"], r["cmd"], r["state"]) for r in own["runs"]],
                         [(run_id, "bg-owner", "sleep 30", "running")])
        self.assertIn(run_id, [r["run_id"] for r in srv.get("/api/runs").json()["runs"]])
        self.assertEqual(status(srv, run_id, "bg-owner", "?offset=x").raw,
                         json_error(400, "Bad Request", "offset must be a whole number of 0 or more"))
        srv.request("DELETE", "/api/runs/%d" % run_id)
        self.assertEqual(wait_state(srv, run_id, "bg-owner", lambda r: r["state"] == "exited")["exit_code"], 137)

    def test_events_stream_the_output_and_resume_from_last_event_id(self):
        srv = self.srv
        run_id = start(srv, "for i in 1 2 3; do echo l$i; sleep 0.2; done", "bg-events").json()["run_id"]
        s = srv.connect()
        s.sendall(request_bytes("GET", "/api/runs/%d/events" % run_id, headers={"X-Agent": "bg-events"}))
        reader = EventReader(s)
        events = [e for _, e in reader.events()]
        s.close()
        self.assertEqual(events[:3], [("stdout", {"text": "l%d\n" % i}) for i in (1, 2, 3)])
        self.assertEqual((events[3][0], events[3][1]["state"], events[3][1]["exit_code"]), ("exit", "exited", 0))
        r = srv.raw(request_bytes("GET", "/api/runs/%d/events" % run_id,
                                  headers={"X-Agent": "bg-events", "Last-Event-ID": "3"}))
        # What came after offset 3, at once now that the run has ended, then its end.
        body = r.split(b"\r\n\r\n", 1)[1].decode()
        self.assertTrue(body.startswith('id: 9\nevent: stdout\ndata: {"text":"l2\\nl3\\n"}\n\nid: 9\nevent: exit\n'), body)
        # An id past the output resumes at its end: nothing skipped, nothing waited for.
        r = srv.raw(request_bytes("GET", "/api/runs/%d/events" % run_id,
                                  headers={"X-Agent": "bg-events", "Last-Event-ID": "999999"}))
        self.assertTrue(r.split(b"\r\n\r\n", 1)[1].startswith(b"id: 9\nevent: exit\n"), r)

    def test_refusals(self):
        srv = self.srv
        self.assertEqual(start(srv, "cat", "bg-refused", stdin="x").raw, json_error(
            400, "Bad Request", "a background run takes its stdin from POST /api/runs/{id}/stdin"))
        self.assertEqual(start(srv, "cat", "bg-refused", stream=True).raw, json_error(
            400, "Bad Request", "a background run streams from GET /api/runs/{id}/events"))
        self.assertEqual(start(srv, "cat /etc/shadow", "bg-refused").status, 403)
        self.assertEqual(status(srv, 999999, "bg-refused").raw, json_error(404, "Not Found", "no such run"))


class KernelBackgroundTest(BackgroundTest):
    mode = "kernel"


class TokenTest(unittest.TestCase):
    def test_agent_tokens_see_only_their_own_runs_and_the_admin_all(self):
        files = {"policy.conf": MODERATE, "agents": "alpha:tok-alpha-1\nbravo:tok-bravo-2\n"}
        with Instance(mode="kernel", files=files, extra_setup="chmod 600 /etc/cindervox/agents") as srv:
            alpha, bravo = "Bearer tok-alpha-1", "Bearer tok-bravo-2"
            r = srv.post("/api/exec", json.dumps({"cmd": "sleep 30", "background": True}), auth=alpha)
            run_id = r.json()["run_id"]
            # bravo's X-Agent naming alpha changes nothing: the token names the agent.
            for method, path in (("GET", "/api/runs/%d" % run_id), ("DELETE", "/api/runs/%d" % run_id),
                                 ("GET", "/api/runs/%d/events" % run_id)):
                r = srv.request(method, path, auth=bravo, headers={"X-Agent": "alpha"})
                self.assertEqual(r.raw, json_error(404, "Not Found", "no such run"), path)
            self.assertEqual(srv.get("/api/runs", auth=bravo).json()["count"], 0)
            self.assertEqual(srv.get("/api/runs/%d" % run_id, auth=alpha).json()["state"], "running")
            self.assertEqual([r["agent"] for r in srv.get("/api/runs").json()["runs"]], ["alpha"])
            self.assertEqual(srv.request("DELETE", "/api/runs/%d" % run_id, auth=alpha).json()["stopped"], True)


class LimitsTest(unittest.TestCase):
    def test_the_pool_and_each_agents_share_are_bounded(self):
        config = "max_background_runs=2\nmax_background_per_agent=1\n"
        with Instance(mode="basic", files={"policy.conf": MODERATE, "config": config}) as srv:
            self.assertEqual(start(srv, "sleep 30", "lim-a").status, 202)
            self.assertEqual(start(srv, "sleep 30", "lim-a").raw,
                             json_error(429, "Too Many Requests", "too many background runs for this agent"))
            self.assertEqual(start(srv, "sleep 30", "lim-b").status, 202)
            self.assertEqual(start(srv, "sleep 30", "lim-c").raw,
                             json_error(503, "Service Unavailable", "every background run slot is in use"))
            # Request runs have slots of their own.
            self.assertEqual(srv.exec("echo still", agent="lim-c").json()["stdout"], "still\n")

    def test_a_start_refused_by_a_full_pool_keeps_the_finished_runs_and_is_audited_as_refused(self):
        config = "max_background_runs=1\n"
        with Instance(mode="basic", files={"policy.conf": MODERATE, "config": config}) as srv:
            done = start(srv, "echo kept", "full-a").json()["run_id"]
            self.assertEqual(wait_state(srv, done, "full-a", lambda r: r["state"] == "exited")["output"], "kept\n")
            self.assertEqual(start(srv, "sleep 30", "full-b").status, 202)
            self.assertEqual(start(srv, "echo late", "full-c").raw,
                             json_error(503, "Service Unavailable", "every background run slot is in use"))
            r = status(srv, done, "full-a").json()
            self.assertEqual((r["state"], r["output"], r["cmd"]), ("exited", "kept\n", "echo kept"))
            entries = srv.get("/api/audit?agent=full-c").json()["entries"]
            self.assertEqual([e.split("] ", 2)[2].split(" ", 2)[:2] for e in entries], [["RATELIMIT", "BACKGROUND_FULL"]])

    def test_a_run_ends_at_max_background_seconds(self):
        config = "max_background_seconds=1\n"
        with Instance(mode="basic", files={"policy.conf": MODERATE, "config": config}) as srv:
            run_id = start(srv, "sleep 30", "lim-t").json()["run_id"]
            r = wait_state(srv, run_id, "lim-t", lambda r: r["state"] == "exited", timeout=5)
            self.assertEqual((r["state"], r["exit_code"], r.get("timed_out")), ("exited", 137, True))

    def test_off_when_max_background_runs_is_0(self):
        with Instance(mode="basic", files={"config": "max_background_runs=0\n"}) as srv:
            self.assertEqual(start(srv, "ls", "lim-off").raw,
                             json_error(503, "Service Unavailable", "background runs are off (max_background_runs=0)"))


if __name__ == "__main__":
    unittest.main()
