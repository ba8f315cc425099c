"""A profile per agent: the agents file names a token agent's profile, the admin sets or
clears any agent's own through POST /api/agents/{name}/profile, and each agent's runs follow
its own profile (limits, time-out check, whitelist) while the others follow the global one,
side by side. The agents report and the audit name the profile that judged each run."""
import json
import threading
import time
import unittest

from tests.blackbox.harness import Instance, json_error
from tests.blackbox.test_exec_pipeline import entry_tail, not_whitelisted

AGENTS = ("tight:tok-tight-1:strict\n"
          "roomy:tok-roomy-2 : permissive\n"
          "plain:tok-plain-3\n"
          "typo:tok-typo-4:moderat\n")
TIGHT = "Bearer tok-tight-1"
ROOMY = "Bearer tok-roomy-2"
PLAIN = "Bearer tok-plain-3"
# The global profile is moderate, so each token agent's own profile differs from it. The
# file's lists replace the default ones: the strict agents need a whitelist.
POLICY = "[config]\nprofile=1\n[blacklist]\ncurl\n[whitelist]\nls\necho\npython3\n"

# Prints the run's open-files and CPU-seconds limits after a second and a half, so runs of
# two agents overlap; python3 is on the strict whitelist.
LIMITS = "python3 -c 'import time, resource as r; time.sleep(1.5); print(r.getrlimit(r.RLIMIT_NOFILE)[0], r.getrlimit(r.RLIMIT_CPU)[0])'"


# Writes 100 MiB: past the strict profile's 64 MB memory group, within the permissive 1024.
HUNDRED_MIB = "python3 -c 'x = b\"1\" * (100 << 20); print(len(x))'"


def over_limit(asked, limit):
    return json_error(400, "Bad Request", "timeout_ms %d is over the limit of %d for this profile" % (asked, limit))


class AgentProfileTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.srv = Instance(mode="kernel", files={"agents": AGENTS, "policy.conf": POLICY},
                           extra_setup="chmod 600 /etc/cindervox/agents")

    @classmethod
    def tearDownClass(cls):
        cls.srv.cleanup()

    def exec_as(self, auth, cmd, **extra):
        return self.srv.post("/api/exec", json.dumps(dict(cmd=cmd, **extra)), auth=auth)

    def set_profile(self, name, profile):
        r = self.srv.post("/api/agents/%s/profile" % name, json.dumps({"profile": profile}))
        self.assertEqual(r.status, 200, r)
        return r.json()

    def agent(self, name):
        return {a["name"]: a for a in self.srv.get("/api/agents").json()["agents"]}[name]

    def tails(self, name):
        return [entry_tail(e) for e in self.srv.get("/api/audit?agent=" + name).json()["entries"]]

    def test_a_word_that_names_no_profile_skips_its_line(self):
        self.assertIn('[Cindervox] Agents file: skipped a line whose profile "moderat" is not strict, moderate or '
                      'permissive\n', self.srv.console())
        self.assertIn("[Cindervox] Agent tokens loaded from /etc/cindervox/agents:\n3\n", self.srv.console())
        self.assertEqual(self.srv.get("/api/health", auth="Bearer tok-typo-4").status, 401)

    def test_two_agents_run_at_once_each_under_its_own_profile(self):
        answers = {}

        def run(name, auth):
            started = time.time()
            answers[name] = (self.exec_as(auth, LIMITS), time.time() - started)

        workers = [threading.Thread(target=run, args=("tight", TIGHT)), threading.Thread(target=run, args=("roomy", ROOMY))]
        started = time.time()
        for w in workers:
            w.start()
        for w in workers:
            w.join()
        elapsed = time.time() - started
        # Each run's own limits, the strict row's and the permissive row's.
        self.assertEqual([(answers[n][0].status, answers[n][0].json()["stdout"]) for n in ("tight", "roomy")],
                         [(200, "32 5\n"), (200, "256 300\n")])
        self.assertLess(elapsed, 2.8, "the two runs did not overlap")
        # So is the memory bound of each run's group.
        hog = self.exec_as(TIGHT, HUNDRED_MIB).json()
        self.assertEqual((hog["exit_code"], hog.get("killed_by")), (137, "memory"))
        self.assertEqual(self.exec_as(ROOMY, HUNDRED_MIB).json()["stdout"], "104857600\n")
        # The whitelist and the time-out bound are the agent's own profile's.
        self.assertEqual(self.exec_as(TIGHT, "id").raw, not_whitelisted("id"))
        self.assertEqual(self.exec_as(TIGHT, "ls", timeout_ms=5001).raw, over_limit(5001, 5000))
        self.assertEqual(self.exec_as(ROOMY, "id").json()["stdout"][:4], "uid=")
        self.assertEqual(self.exec_as(ROOMY, "echo long", timeout_ms=300000).status, 200)
        self.assertEqual(self.exec_as(ROOMY, "echo long", timeout_ms=300001).raw, over_limit(300001, 300000))
        self.assertEqual(self.exec_as(PLAIN, "echo ok", timeout_ms=30001).raw, over_limit(30001, 30000))
        # An MCP tool call goes through the same route and is judged alike.
        r = self.srv.post("/mcp", json.dumps({"jsonrpc": "2.0", "id": 1, "method": "tools/call", "params": {
            "name": "execute_command", "arguments": {"command": "id"}}}), auth=TIGHT)
        self.assertTrue(r.json()["result"]["isError"], r)
        self.assertIn("command not in whitelist (strict mode)", r.json()["result"]["content"][0]["text"])
        # The audit names the profile that judged each run and each refusal (a refused
        # time-out leaves no entry).
        tight = self.tails("tight")[-4:]
        self.assertRegex(tight[0], r'^\[tight\] EXEC OK "python3 .*" exit=0 dur=\d+ms profile=strict$')
        self.assertRegex(tight[1], r'^\[tight\] EXEC MEMORY_LIMIT "python3 .*" exit=137 dur=\d+ms profile=strict$')
        self.assertEqual(tight[2:], ['[tight] BLOCK WHITELIST "id" exit=0 dur=0ms profile=strict'] * 2)
        roomy = self.tails("roomy")[-4:]
        self.assertRegex(roomy[0], r'^\[roomy\] EXEC OK "python3 .*" exit=0 dur=\d+ms profile=permissive$')
        self.assertRegex(roomy[2], r'^\[roomy\] EXEC OK "id" exit=0 dur=\d+ms profile=permissive$')

    def test_the_agents_report_shows_each_agents_profile(self):
        for auth in (TIGHT, ROOMY, PLAIN):
            self.assertEqual(self.exec_as(auth, "echo hi").status, 200)
        self.assertEqual([(self.agent(n)["profile"], self.agent(n)["profile_own"]) for n in ("tight", "roomy", "plain")],
                         [("strict", True), ("permissive", True), ("moderate", False)])
        self.assertRegex(self.tails("plain")[-1], r' profile=moderate$')
        # The health report keeps the global profile's limits.
        health = self.srv.get("/api/health").json()
        self.assertEqual((health["profile"], health["timeout_ms"]), ("moderate", 30000))

    def test_the_admin_sets_and_clears_a_profile_and_the_next_run_follows(self):
        srv = self.srv
        answer = self.set_profile("plain", "strict")
        self.assertEqual({k: answer[k] for k in ("agent", "profile", "own", "timeout_ms", "max_mem_mb", "max_procs", "persisted")},
                         {"agent": "plain", "profile": "strict", "own": True, "timeout_ms": 5000, "max_mem_mb": 64,
                          "max_procs": 16, "persisted": False})
        self.assertEqual(self.exec_as(PLAIN, "id").raw, not_whitelisted("id"))
        self.assertEqual(self.exec_as(PLAIN, "ls", timeout_ms=5001).raw, over_limit(5001, 5000))
        self.assertEqual(self.tails("plain")[-2], '[plain] CONFIG OK "agent_profile strict" exit=0 dur=0ms')
        # A reset of the agent keeps its profile, as it keeps its budget.
        self.assertEqual(srv.request("DELETE", "/api/agents/plain").status, 200)
        self.assertEqual((self.agent("plain")["profile"], self.agent("plain")["profile_own"]), ("strict", True))
        self.assertEqual(self.set_profile("plain", 2)["timeout_ms"], 300000)
        answer = self.set_profile("plain", None)
        self.assertEqual((answer["profile"], answer["own"], answer["timeout_ms"]), ("moderate", False, 30000))
        self.assertEqual(self.exec_as(PLAIN, "id").status, 200)
        self.assertRegex(self.tails("plain")[-1], r'^\[plain\] EXEC OK "id" exit=0 dur=\d+ms profile=moderate$')
        # A name not seen yet is registered with its profile, as an operator preparing it
        # expects; other X-Agent names keep following the global profile.
        self.assertEqual(self.set_profile("newcomer", "strict")["own"], True)
        self.assertEqual(srv.exec("id", agent="newcomer").raw, not_whitelisted("id"))
        self.assertEqual(srv.exec("id", agent="bystander").status, 200)
        self.assertEqual((self.agent("bystander")["profile"], self.agent("bystander")["profile_own"]), ("moderate", False))
        # An agent token cannot give itself a profile.
        r = srv.post("/api/agents/tight/profile", '{"profile":"permissive"}', auth=TIGHT)
        self.assertEqual(r.raw, json_error(403, "Forbidden", "an agent token cannot use this endpoint"))

    def test_a_reload_gives_token_agents_the_files_profile_again(self):
        self.assertEqual(self.set_profile("tight", None)["profile"], "moderate")
        self.assertEqual(self.exec_as(TIGHT, "id").status, 200)
        r = self.srv.post("/api/policy/reload", "")
        self.assertEqual(r.status, 200, r)
        self.assertEqual((self.agent("tight")["profile"], self.agent("tight")["profile_own"]), ("strict", True))
        self.assertEqual(self.exec_as(TIGHT, "id").raw, not_whitelisted("id"))


if __name__ == "__main__":
    unittest.main()
