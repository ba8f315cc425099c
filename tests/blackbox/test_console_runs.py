"""The admin's console commands ("console":true: no agent, no registry slot, named admin),
request runs in the runs list and stopped by id, the audit report's action filter, and the
confinement facts of the health report."""
import json
import threading
import time
import unittest

from tests.blackbox.harness import Instance, json_error, request_bytes
from tests.blackbox.test_exec_stream import EventReader

MODERATE = "[config]\nprofile=1\n[blacklist]\ncurl\nrm -rf /\n"
AGENTS = "coder:coder-token-0001\n"
CODER = "Bearer coder-token-0001"


def console(srv, cmd, **members):
    body = {"cmd": cmd, "console": True}
    body.update(members)
    return srv.post("/api/exec", json.dumps(body))


def runs(srv, **kw):
    return srv.get("/api/runs", **kw).json()["runs"]


def wait_for(predicate, timeout=10.0):
    deadline = time.time() + timeout
    while not predicate():
        if time.time() > deadline:
            raise AssertionError("timed out")
        time.sleep(0.05)


class ConsoleAndRunsTest(unittest.TestCase):
    mode = "basic"

    @classmethod
    def setUpClass(cls):
        cls.srv = Instance(mode=cls.mode, files={"policy.conf": MODERATE, "agents": AGENTS})

    @classmethod
    def tearDownClass(cls):
        cls.srv.cleanup()

    def test_a_console_command_runs_for_no_agent_and_is_audited_as_admin(self):
        srv = self.srv
        before = srv.get("/api/agents").json()["count"]
        r = console(srv, "echo from-console; id -u")
        self.assertEqual(r.status, 200, r)
        self.assertTrue(r.json()["stdout"].startswith("from-console\n"))
        agents = srv.get("/api/agents").json()
        self.assertEqual(agents["count"], before)
        self.assertNotIn("anonymous", [a["name"] for a in agents["agents"]])
        self.assertNotIn("admin", [a["name"] for a in agents["agents"]])
        entry = srv.get("/api/audit?agent=admin&order=newest&limit=1").json()["entries"][0]
        self.assertIn('[admin] EXEC OK "echo from-console; id -u" exit=0', entry)
        # The policy of the global profile judges it as any agent's command.
        r = console(srv, "rm -rf /")
        self.assertEqual((r.status, r.json()["error"]), (403, "command blocked by blacklist"))
        self.assertIn("[admin] BLOCK BLACKLIST", srv.get("/api/audit?agent=admin&order=newest&limit=1").json()["entries"][0])

    def test_a_console_command_has_no_workspace(self):
        """In the jail modes each console command starts with an empty /tmp of its own; in
        plain basic mode it has no directory to write in (Landlock grants it none)."""
        srv = self.srv
        r = console(srv, "touch /tmp/console-mark && ls /tmp", merge_stderr=True).json()
        if srv.get("/api/health").json()["workspaces"] == "tmpfs":
            self.assertEqual(r["stdout"], "console-mark\n")
            self.assertEqual(console(srv, "ls -A /tmp | wc -l").json()["stdout"].strip(), "0")
        else:
            self.assertIn("Permission denied", r["stdout"])
            self.assertEqual(r["exit_code"], 1)

    def test_only_the_admin_runs_console_commands_and_only_in_the_foreground(self):
        srv = self.srv
        body = json.dumps({"cmd": "echo x", "console": True})
        self.assertEqual(srv.post("/api/exec", body, auth=CODER).raw,
                         json_error(403, "Forbidden", "an agent token cannot run console commands"))
        self.assertEqual(srv.post("/api/exec", body, headers={"X-Agent": "bot"}).raw,
                         json_error(400, "Bad Request", "a console command acts for no agent: send it without X-Agent"))
        self.assertEqual(console(srv, "echo x", background=True).raw,
                         json_error(400, "Bad Request", "a console command cannot run in the background"))
        self.assertEqual(srv.post("/api/exec", json.dumps({"cmd": "echo x", "console": "yes"})).raw,
                         json_error(400, "Bad Request", "console must be true or false"))

    def test_a_streamed_console_command_sends_output_before_it_ends(self):
        srv = self.srv
        s = srv.connect()
        s.sendall(request_bytes("POST", "/api/exec", json.dumps({"cmd": "echo one; sleep 1; echo two", "console": True, "stream": True})))
        events = list(EventReader(s).events())
        s.close()
        self.assertEqual([kind for _, (kind, _) in events], ["stdout", "stdout", "exit"])
        self.assertGreater(events[1][0] - events[0][0], 0.5)
        self.assertEqual(events[-1][1][1]["stdout"], "one\ntwo\n")

    def test_request_runs_are_listed_and_stopped_by_id(self):
        srv = self.srv
        answers = {}

        def run(name, cmd, agent=None, auth=None):
            headers = {"X-Agent": agent} if agent else None
            kw = {"auth": auth} if auth else {}
            answers[name] = srv.post("/api/exec", json.dumps({"cmd": cmd}), headers=headers, pace=False, **kw)

        threads = [threading.Thread(target=run, args=("bot", "echo started; sleep 30", "list-bot")),
                   threading.Thread(target=run, args=("coder", "sleep 30.5", None, CODER))]
        for t in threads:
            t.start()
        wait_for(lambda: len([r for r in runs(srv) if r["kind"] == "request"]) >= 2)
        listed = {r["agent"]: r for r in runs(srv) if r["kind"] == "request"}
        bot = listed["list-bot"]
        self.assertEqual((bot["cmd"], bot["state"], bot["cmd_bytes"]), ("echo started; sleep 30", "running", 22))
        wait_for(lambda: [r for r in runs(srv) if r["run_id"] == bot["run_id"]][0]["output_bytes"] == 8)
        # An agent sees its own runs only, and cannot stop another's.
        own = runs(srv, auth=CODER)
        self.assertEqual([r["agent"] for r in own], ["coder"])
        self.assertEqual(srv.request("DELETE", "/api/runs/%d" % bot["run_id"], auth=CODER).raw,
                         json_error(404, "Not Found", "no such run"))
        started = time.time()
        r = srv.request("DELETE", "/api/runs/%d" % bot["run_id"])
        self.assertEqual(r.json(), {"ok": True, "run_id": bot["run_id"], "stopped": True})
        threads[0].join(10)
        self.assertLess(time.time() - started, 5)
        answer = answers["bot"].json()
        self.assertEqual((answer["stdout"], answer["exit_code"], answer.get("stopped")), ("started\n", 137, True))
        self.assertIn('EXEC STOPPED "echo started; sleep 30" exit=137',
                      srv.get("/api/audit?agent=list-bot&order=newest&limit=1").json()["entries"][0])
        coder = listed["coder"]["run_id"]
        self.assertEqual(srv.request("DELETE", "/api/runs/%d" % coder, auth=CODER).json()["stopped"], True)
        threads[1].join(10)
        self.assertEqual(answers["coder"].json()["exit_code"], 137)
        self.assertEqual([r for r in runs(srv) if r["kind"] == "request"], [])
        self.assertEqual(srv.request("DELETE", "/api/runs/%d" % coder).raw, json_error(404, "Not Found", "no such run"))

    def test_the_audit_report_filters_by_action(self):
        srv = self.srv
        srv.exec("echo ok", agent="act-bot")
        srv.exec("curl x", agent="act-bot")
        page = srv.get("/api/audit?agent=act-bot&action=BLOCK").json()
        self.assertEqual((page["matched"], page["returned"]), (1, 1))
        self.assertIn('BLOCK BLACKLIST "curl x"', page["entries"][0])
        self.assertEqual(srv.get("/api/audit?action=block").raw,
                         json_error(400, "Bad Request", "action must be an audit action word such as EXEC or BLOCK"))

    def test_health_names_the_confinement_and_every_profile(self):
        h = self.srv.get("/api/health").json()
        self.assertEqual((h["profile"], h["max_procs"], h["max_fsize"], h["max_nofile"]), ("moderate", 16, 52428800, 64))
        self.assertEqual([p["name"] for p in h["profiles"]], ["strict", "moderate", "permissive"])
        self.assertEqual([p["whitelist"] for p in h["profiles"]], [True, False, False])
        self.assertEqual(h["profiles"][2]["timeout_ms"], 300000)
        self.assertIn(h["workspaces"], ("tmpfs", "directory"))
        self.assertEqual(h["cgroups"], False)


class KernelConsoleTest(unittest.TestCase):
    """As root: control groups where the host has them, and a console command runs without
    registering anyone."""

    def test_kernel_mode_reports_tmpfs_workspaces(self):
        # Agent uids apart from the default range, which other servers on the host may hold.
        with Instance(mode="kernel", files={"policy.conf": MODERATE, "config": "uid_base=22000\n"}) as srv:
            h = srv.get("/api/health").json()
            self.assertEqual(h["workspaces"], "tmpfs")
            import os
            self.assertEqual(h["cgroups"], os.path.exists("/sys/fs/cgroup/memory/memory.memsw.limit_in_bytes")
                             and os.path.exists("/sys/fs/cgroup/pids/cgroup.procs"))
            r = console(srv, "id -u; ls /tmp | wc -l")
            self.assertEqual(r.status, 200, r)
            self.assertEqual(srv.get("/api/agents").json()["count"], 0)


class PlainConsoleAndRunsTest(ConsoleAndRunsTest):
    """Basic isolation without namespaces: commands take turns, and the console has no
    workspace directory of its own either."""
    mode = "plain"


if __name__ == "__main__":
    unittest.main()
