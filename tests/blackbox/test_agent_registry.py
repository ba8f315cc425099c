"""The agent registry seen from outside: max_agents= slots that many more names than that can
share over a server's life, agents that leave to make room (the one seen longest ago that may
leave) and what may not leave, DELETE /api/agents/{name}, and the audit report's pages.

Agents that leave after agent_idle_minutes= of quiet are checked in the unit tests, whose
clock the test moves; here the registry is filled so that leaving is forced."""
import json
import re
import threading
import time
import unittest

from tests.blackbox.harness import Instance, json_answer, json_error

MODERATE = "[config]\nprofile=1\n"
# Every X-Agent name has a request window of its own; the test sends many names a second.
FAST = "requests_per_second=100000\n"


def tail(entry):
    """An audit entry without its time."""
    return re.sub(r"^\[\d+\] ", "", entry)


def agent_names(srv):
    return [a["name"] for a in srv.get("/api/agents", pace=False).json()["agents"]]


def newest(srv, **query):
    path = "/api/audit?order=newest&" + "&".join("%s=%s" % kv for kv in query.items())
    return [tail(e) for e in srv.get(path, pace=False).json()["entries"]]


class ManyNamesTest(unittest.TestCase):
    # An agent framework that names an agent per conversation: two thousand names over a run
    # of the server, each with a file of its own, all served by a registry of 1024 slots.
    def test_two_thousand_names_are_all_served(self):
        with Instance(mode="kernel", files={"policy.conf": MODERATE, "config": FAST}) as srv:
            wrong = []
            for i in range(2000):
                r = srv.exec("echo %d > /tmp/mine; cat /tmp/mine" % i, agent="conversation-%04d" % i, pace=False)
                if r.status != 200 or r.json()["stdout"] != "%d\n" % i:
                    wrong.append((i, r.status, r.body[:200]))
            self.assertEqual(wrong, [])
            self.assertEqual(srv.get("/api/health", pace=False).json()["agents_count"], 1024)
            names = agent_names(srv)
            self.assertEqual(len(names), 1024)
            self.assertIn("conversation-1999", names)
            self.assertNotIn("conversation-0000", names)
            evicted = [e for e in newest(srv, limit=256) if " AGENT EVICTED " in e]
            self.assertGreater(len(evicted), 50)
            self.assertRegex(evicted[0], r'^\[conversation-0\d{3}\] AGENT EVICTED "registry full, idle \d+ s, '
                                         r'execs=1 blocked=0 bytes=\d+ tokens_in=0 tokens_out=0" exit=0 dur=0ms\n$')

    # Rootless, the slots' user namespaces are made at start-up and stay for the next agent.
    def test_a_small_registry_serves_many_names_rootless(self):
        with Instance(mode="basic", files={"policy.conf": MODERATE, "config": FAST + "max_agents=16\n"}) as srv:
            self.assertIn("Rootless namespaces ACTIVE", srv.console())
            for i in range(300):
                r = srv.exec("id -u; cat /tmp/mine 2>/dev/null; echo %d > /tmp/mine" % i, agent="n%d" % i, pace=False)
                self.assertEqual(r.status, 200, r)
                # A slot's next agent finds none of the last one's files.
                self.assertRegex(r.json()["stdout"], r"^6\d{4}\n$", i)
            self.assertEqual(len(agent_names(srv)), 16)

    # A service's soft descriptor limit is often 1024, fewer than the 1025 user namespaces of
    # the default registry; the server raises it to the hard limit first.
    def test_rootless_start_up_under_a_soft_descriptor_limit_of_1024(self):
        with Instance(mode="basic", extra_setup="ulimit -Sn 1024; ulimit -Hn 8192") as srv:
            self.assertIn("Rootless namespaces ACTIVE", srv.console())
            self.assertEqual(srv.exec("echo up", agent="x").json()["stdout"], "up\n")

    def test_an_agents_workspace_leaves_with_it(self):
        with Instance(mode="kernel", files={"policy.conf": MODERATE, "config": "max_agents=2\n"}) as srv:
            self.assertEqual(srv.exec("echo secret > /tmp/a.txt", agent="first").status, 200)
            srv.exec("true", agent="second")
            self.assertEqual(srv.exec("ls -A /tmp", agent="third").json()["stdout"], "")
            self.assertEqual(agent_names(srv), ["third", "second"])
            # Coming back, the first agent is new: a fresh workspace and fresh counters.
            self.assertEqual(srv.exec("ls -A /tmp", agent="first").json()["stdout"], "")
            self.assertEqual({a["name"]: a["execs"] for a in srv.get("/api/agents").json()["agents"]},
                             {"third": 1, "first": 1})


class EvictionChoiceTest(unittest.TestCase):
    def test_the_agent_seen_longest_ago_makes_room(self):
        with Instance(mode="basic", files={"config": "max_agents=3\n"}) as srv:
            for name in ("a", "b", "c", "a"):
                self.assertEqual(srv.exec("echo %s" % name, agent=name).status, 200)
            # Any attributed request counts as being seen, a refused one too.
            self.assertEqual(srv.exec("wget x", agent="b").status, 403)
            self.assertEqual(srv.exec("echo d", agent="d").status, 200)
            self.assertEqual(agent_names(srv), ["a", "b", "d"])
            self.assertRegex(newest(srv, limit=2)[1],
                             r'^\[c\] AGENT EVICTED "registry full, idle \d+ s, execs=1 blocked=0 bytes=2 '
                             r'tokens_in=0 tokens_out=0" exit=0 dur=0ms\n$')

    # A token agent, an agent with a budget of its own and an agent with a run in flight
    # keep their slots; only when every slot is held is a new name refused.
    def test_agents_that_may_not_leave_keep_their_slots(self):
        files = {"policy.conf": "[config]\nprofile=1\n", "config": "max_agents=3\n", "agents": "coder:tok-coder-1\n"}
        with Instance(mode="kernel", files=files, extra_setup="chmod 600 /etc/cindervox/agents") as srv:
            self.assertEqual(srv.exec("true", auth="Bearer tok-coder-1").status, 200)
            self.assertEqual(srv.post("/api/budget", '{"agent":"kept","max_tokens":500}').status, 200)
            answers = {}
            runner = threading.Thread(target=lambda: answers.update(
                slow=srv.exec("sleep 2; echo slept", agent="runner", pace=False)))
            runner.start()
            time.sleep(0.5)
            refused = srv.exec("echo late", agent="late")
            self.assertEqual(refused.raw, json_error(503, "Service Unavailable", "agent registry full"))
            self.assertEqual(newest(srv, limit=1), ['[late] BLOCK REGISTRY_FULL "echo late" exit=0 dur=0ms\n'])
            runner.join(10)
            self.assertEqual(answers["slow"].json()["stdout"], "slept\n")
            # Its run over, the runner may leave.
            self.assertEqual(srv.exec("echo late", agent="late").json()["stdout"], "late\n")
            self.assertEqual(sorted(agent_names(srv)), ["coder", "kept", "late"])


class ResetOneAgentTest(unittest.TestCase):
    def test_reset_cancels_runs_and_clears_workspace_and_counters(self):
        config = "max_concurrent_runs=1\nmax_runs_per_agent=2\n"
        with Instance(mode="kernel", files={"policy.conf": MODERATE, "config": config}) as srv:
            srv.exec("echo kept > /tmp/f", agent="busy one", extra={"tokens_in": 7})
            srv.post("/api/budget", '{"agent":"busy one","max_tokens":1000}')
            self.assertEqual(srv.exec("echo other > /tmp/g", agent="other").status, 200)
            answers = {}

            def run(key, cmd):
                answers[key] = srv.exec(cmd, agent="busy one", pace=False)
            workers = [threading.Thread(target=run, args=("running", "sleep 20")),
                       threading.Thread(target=run, args=("queued", "echo never"))]
            for w in workers:
                w.start()
                time.sleep(0.4)
            started = time.time()
            r = srv.request("DELETE", "/api/agents/busy%20one")
            self.assertEqual(r.raw, json_answer(200, "OK", '{"ok":true,"agent":"busy one","runs_cancelled":2}'))
            for w in workers:
                w.join(10)
            self.assertLess(time.time() - started, 5)
            cancelled = json_error(409, "Conflict", "run cancelled: the agent was reset")
            self.assertEqual((answers["running"].raw, answers["queued"].raw), (cancelled, cancelled))
            record = {a["name"]: a for a in srv.get("/api/agents").json()["agents"]}["busy one"]
            self.assertEqual((record["execs"], record["tokens_total"], record["token_budget"]), (0, 0, 1000))
            self.assertEqual(srv.exec("ls -A /tmp", agent="busy one").json()["stdout"], "")
            self.assertEqual(srv.exec("cat /tmp/g", agent="other").json()["stdout"], "other\n")
            entries = newest(srv, agent="busy%20one", limit=6)
            self.assertEqual(entries[1], '[busy one] AGENT RESET "runs_cancelled=2 execs=1 blocked=0 bytes=0 '
                                         'tokens_in=7 tokens_out=0" exit=0 dur=0ms\n')
            self.assertEqual(sorted(e.split('"')[1] for e in entries[2:4] if " EXEC CANCELLED " in e),
                             ["echo never", "sleep 20"])

    def test_unknown_names_and_other_methods(self):
        with Instance(mode="basic") as srv:
            self.assertEqual(srv.request("DELETE", "/api/agents/ghost%3Cb%3E").raw,
                             json_error(404, "Not Found", "no such agent: ghost<b>"))
            r = srv.request("GET", "/api/agents/ghost")
            self.assertEqual((r.status, r.headers["Allow"]), (405, "DELETE"))
            self.assertEqual(srv.request("DELETE", "/api/agents/a/b").status, 404)
            self.assertEqual(srv.request("DELETE", "/api/agents/x", auth="Bearer nope").status, 401)
            # A zero byte does not end the name: alpha%00 is not alpha.
            srv.exec("echo hi", agent="alpha")
            self.assertEqual(srv.request("DELETE", "/api/agents/alpha%00").raw,
                             json_error(400, "Bad Request", "agent name must not contain a zero byte"))
            self.assertIn("alpha", [a["name"] for a in srv.get("/api/agents").json()["agents"]])


class AuditPagingTest(unittest.TestCase):
    def test_pages_from_either_end_and_one_agents_entries(self):
        with Instance(mode="basic", files={"config": FAST}) as srv:
            for i in range(30):
                srv.exec("echo e%d" % i, agent="a b" if i % 3 == 0 else "other", pace=False)
            page = srv.get("/api/audit?order=newest&limit=3&offset=1", pace=False).json()
            self.assertEqual([e.split('"')[1] for e in page["entries"]], ["echo e28", "echo e27", "echo e26"])
            self.assertEqual((page["total"], page["matched"], page["returned"], page["offset"]), (30, 30, 3, 1))
            mine = srv.get("/api/audit?agent=a%20b&limit=4&offset=8", pace=False).json()
            self.assertEqual([e.split('"')[1] for e in mine["entries"]], ["echo e24", "echo e27"])
            self.assertEqual((mine["matched"], mine["returned"]), (10, 2))
            everything = srv.get("/api/audit?limit=256", pace=False).json()
            self.assertEqual(len(everything["entries"]), 30)
            for query, message in (("limit=257", "limit must be a whole number from 0 to 256"),
                                   ("offset=-1", "offset must be a whole number of 0 or more"),
                                   ("order=latest", "order must be oldest or newest")):
                self.assertEqual(srv.get("/api/audit?" + query, pace=False).raw, json_error(400, "Bad Request", message))


if __name__ == "__main__":
    unittest.main()
