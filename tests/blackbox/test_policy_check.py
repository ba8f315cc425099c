"""POST /api/policy/check: whether a command would run for an agent, and why not, judged by the
code the exec pipeline uses. Nothing runs, nothing is counted, nothing is audited; an agent
token may ask only for itself."""
import json
import os
import unittest

from tests.blackbox.harness import Instance

AGENTS = "coder:tok-coder-1:permissive\nwatcher:tok-watch-2:strict\n"
POLICY = "[config]\nprofile=1\nmatcher=words\n[blacklist]\nrm -rf /\ncurl\nwget\n/etc/shadow\n[whitelist]\nls\necho\ncat\n"
CODER = "Bearer tok-coder-1"
WATCHER = "Bearer tok-watch-2"

# Commands of every kind of verdict under the word matcher, with a moderate global profile.
COMMANDS = [
    "ls -la",
    "rm -rf /tmp/build",
    "rm -rf /",
    "grep -r curl .",
    "curl x",
    "ls; $(curl x)",
    'c""url x',
    "git diff HEAD~1..HEAD",
    "cat ../x",
    "cat /etc/shadow",
    "echo hi; id",
    'echo "unclosed',
]


class PolicyCheckTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.srv = Instance(mode="basic",
                           files={"agents": AGENTS, "policy.conf": POLICY},
                           extra_setup="chown 65534 /etc/cindervox/agents; chmod 600 /etc/cindervox/agents")

    @classmethod
    def tearDownClass(cls):
        cls.srv.cleanup()

    def check(self, cmd, auth=None, **members):
        kw = {"auth": auth} if auth else {}
        return self.srv.post("/api/policy/check", json.dumps({"cmd": cmd, **members}), **kw)

    def test_the_verdict_is_the_exec_pipelines_for_every_agent_and_profile(self):
        srv = self.srv
        kinds = set()
        for auth, agent in ((None, None), (CODER, None), (WATCHER, None), (None, "watcher")):
            for cmd in COMMANDS:
                with self.subTest(auth=auth, agent=agent, cmd=cmd):
                    r = self.check(cmd, auth, **({"agent": agent} if agent else {}))
                    self.assertEqual(r.status, 200, r.text)
                    verdict = r.json()
                    kinds.add(verdict.get("kind", "allowed"))
                    ran = srv.exec(cmd, agent=agent, **({"auth": auth} if auth else {}))
                    self.assertEqual(verdict["allowed"], ran.status != 403, (verdict, ran.text))
                    if not verdict["allowed"]:
                        refusal = ran.json()
                        self.assertEqual((verdict["status"], verdict["error"]), (403, refusal["error"]))
                        self.assertEqual(verdict.get("rule"), refusal.get("rule"))
                        self.assertEqual(verdict.get("command"), refusal.get("command"))
        self.assertEqual(kinds, {"allowed", "sensitive", "blacklist", "whitelist", "unreadable"})

    def test_answers_name_agent_profile_matcher_rule_and_simple_command(self):
        r = self.check("ls; $(curl x)").json()
        self.assertEqual({k: r.get(k) for k in ("ok", "allowed", "agent", "profile", "matcher", "kind", "rule", "command")},
                         {"ok": True, "allowed": False, "agent": "anonymous", "profile": "moderate", "matcher": "words",
                          "kind": "blacklist", "rule": "curl", "command": "curl x"})
        self.assertEqual(self.check("echo hi; id", WATCHER).json()["kind"], "whitelist")
        self.assertEqual(self.check("echo hi; id", CODER).json()["allowed"], True)
        self.assertEqual(self.check('echo "open', WATCHER).json()["error"], "could not read the command")
        self.assertEqual(self.check("ls", agent="watcher").json()["profile"], "strict")
        r = self.check("x" * 70000).json()
        self.assertEqual((r["allowed"], r["kind"], r["status"]), (False, "too_long", 400))
        self.assertEqual(r["error"], "command too long (70000 bytes, limit 65536)")

    def test_an_agent_asks_only_for_itself(self):
        r = self.check("ls", CODER, agent="watcher")
        self.assertEqual((r.status, r.json()["error"]), (403, "an agent may check commands only for itself"))
        r = self.check("ls", CODER, agent="coder")
        self.assertEqual((r.status, r.json()["agent"], r.json()["profile"]), (200, "coder", "permissive"))

    def test_requests_it_cannot_judge_are_refused(self):
        srv = self.srv
        for body, error in (('{"agent":"x"}', "missing cmd field"), ('{"cmd":7}', "cmd must be a JSON string"),
                            ('{"cmd":""}', "empty command"), ('{"cmd":"ls","agent":7}', "agent must be a JSON string"),
                            ('{"cmd":"ls","agent":"%s"}' % ("a" * 32), "agent name too long")):
            with self.subTest(body=body):
                r = srv.post("/api/policy/check", body)
                self.assertEqual((r.status, r.json()["error"]), (400, error))
        self.assertEqual(srv.post("/api/policy/check", '{"cmd":"ls"}', auth=None).status, 401)

    def test_nothing_runs_is_counted_or_audited(self):
        srv = self.srv
        before = srv.get("/api/health").json()
        audit = srv.get("/api/audit?limit=1").json()["total"]
        agents = len(srv.get("/api/agents").json()["agents"])
        marker = srv.path("tmp", "check-ran")
        for cmd in ("touch /tmp/check-ran", "curl x"):
            self.assertEqual(self.check(cmd, agent="never-seen").status, 200)
        after = srv.get("/api/health").json()
        self.assertEqual((after["total_execs"], after["blocked_cmds"]), (before["total_execs"], before["blocked_cmds"]))
        self.assertEqual(srv.get("/api/audit?limit=1").json()["total"], audit)
        self.assertEqual(len(srv.get("/api/agents").json()["agents"]), agents, "asking registers no agent")
        self.assertFalse(os.path.exists(marker))


if __name__ == "__main__":
    unittest.main()
