"""What the server counts of its work, seen from outside: the activity history of
GET /api/history, fed by runs, refusals, seccomp kills, time-outs and token reports."""
import json
import time
import unittest

from tests.blackbox.harness import UNAUTHORIZED, Instance

PERMISSIVE = {"policy.conf": "[config]\nprofile=2\n[blacklist]\nwget\n"}
AGENT_TOKENS = {"agents": "bot:bot-token-0123456789\n"}
SECCOMP_KILL = "exec python3 -c 'import ctypes; ctypes.CDLL(None).syscall(310, 0, 0, 0, 0, 0, 0)'"


def totals(buckets):
    """The buckets' counts summed, refusals by kind."""
    out = {"runs": 0, "seccomp_kills": 0, "timeouts": 0, "tokens_in": 0, "tokens_out": 0, "refused": {}}
    for b in buckets:
        for key in ("runs", "seccomp_kills", "timeouts", "tokens_in", "tokens_out"):
            out[key] += b[key]
        for kind, n in b["refused"].items():
            out["refused"][kind] = out["refused"].get(kind, 0) + n
    return out


class HistoryTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.srv = Instance(files=dict(PERMISSIVE, **AGENT_TOKENS))

    @classmethod
    def tearDownClass(cls):
        cls.srv.cleanup()

    def test_history_counts_runs_refusals_kills_timeouts_and_tokens(self):
        srv = self.srv
        for _ in range(2):
            self.assertEqual(srv.exec("echo hi", agent="alpha", extra={"tokens_in": 100, "tokens_out": 7}).status, 200)
        slow = srv.exec("sleep 5", agent="alpha", extra={"timeout_ms": 300}).json()
        self.assertTrue(slow["timed_out"], slow)
        self.assertEqual(srv.exec("wget x", agent="beta").status, 403)
        self.assertEqual(srv.exec(SECCOMP_KILL, agent="beta").json()["killed_by"], "seccomp")
        self.assertEqual(srv.exec("x" * 70000, agent="gamma").status, 400)
        answer = srv.get("/api/history")
        self.assertEqual(answer.status, 200)
        history = answer.json()
        now = history["now"]
        self.assertLessEqual(abs(now - time.time()), 5)
        self.assertEqual(set(history), {"ok", "now", "minutes", "hours", "agents"})
        for name, count, width in (("minutes", 60, 60), ("hours", 24, 3600)):
            starts = [b["t"] for b in history[name]]
            self.assertEqual(starts, [now - now % width - (count - 1 - i) * width for i in range(count)], name)
        expected = {"runs": 4, "seccomp_kills": 1, "timeouts": 1, "tokens_in": 200, "tokens_out": 14,
                    "refused": {"blacklist": 1, "too_long": 1}}
        self.assertEqual(totals(history["minutes"]), expected)
        self.assertEqual(totals(history["hours"]), expected)
        self.assertTrue(all(b["refused"] == {} for b in history["minutes"][:50]))
        agents = history["agents"]
        self.assertEqual([a["agent"] for a in agents], ["alpha", "beta", "gamma"])
        self.assertEqual(totals(agents[0]["minutes"]), {"runs": 3, "seccomp_kills": 0, "timeouts": 1, "tokens_in": 200,
                                                        "tokens_out": 14, "refused": {}})
        self.assertEqual(totals(agents[1]["hours"]), {"runs": 1, "seccomp_kills": 1, "timeouts": 0, "tokens_in": 0,
                                                      "tokens_out": 0, "refused": {"blacklist": 1}})
        self.assertEqual(totals(agents[2]["minutes"])["refused"], {"too_long": 1})
        # A reset leaves the history as it was.
        self.assertEqual(srv.request("DELETE", "/api/sandbox").status, 200)
        self.assertEqual(totals(srv.get("/api/history").json()["hours"]), expected)

    def test_history_is_for_the_admin_only(self):
        self.assertEqual(self.srv.get("/api/history", auth=None).raw, UNAUTHORIZED)
        refused = self.srv.get("/api/history", auth="Bearer bot-token-0123456789")
        self.assertEqual((refused.status, refused.json()["error"]), (403, "an agent token cannot use this endpoint"))
        self.assertEqual(self.srv.get("/api/history", auth="Bearer lanternfish-bearer-0000").status, 200)


if __name__ == "__main__":
    unittest.main()
