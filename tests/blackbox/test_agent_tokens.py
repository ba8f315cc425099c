"""Agent tokens: /etc/cindervox/agents binds bearer tokens to agent names. A token agent may
run commands, write and read files and read the health report, always under its bound name;
every other route is refused and audited, and the admin credentials work as before."""
import json
import os
import unittest

from tests.blackbox.harness import DEFAULT_AUTH, Instance, json_error

AGENTS = "# agents of this host\r\ncoder:tok-coder-1\r\nbroken line\r\nreviewer:tok-review-2\r\n"
CODER = "Bearer tok-coder-1"
REFUSED = json_error(403, "Forbidden", "an agent token cannot use this endpoint")

# Every route an agent token must not reach, with a body where the route takes one.
ADMIN_ROUTES = [
    ("GET", "/", None),
    ("GET", "/favicon.ico", None),
    ("GET", "/api/audit", None),
    ("GET", "/api/agents", None),
    ("GET", "/api/policy", None),
    ("POST", "/api/policy", '{"action":"rm_bl","rule":"curl"}'),
    ("POST", "/api/policy/reload", ""),
    ("POST", "/api/profile", '{"profile":2}'),
    ("POST", "/api/budget", '{"default":1}'),
    ("POST", "/api/config", '{"rate_limit":1}'),
    ("DELETE", "/api/sandbox", None),
    ("GET", "/api/exec", None),
    ("PUT", "/api/exec", '{"cmd":"id"}'),
]


def entries(srv):
    return srv.get("/api/audit?agent=coder").json()["entries"]


class AgentTokenTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.srv = Instance(mode="basic", files={"agents": AGENTS, "policy.conf": "[config]\nprofile=1\n"},
                           extra_setup="chown 65534 /etc/cindervox/agents; chmod 600 /etc/cindervox/agents")

    @classmethod
    def tearDownClass(cls):
        cls.srv.cleanup()

    def test_start_up_binds_the_parsable_lines(self):
        console = self.srv.console()
        self.assertIn("[Cindervox] Agents file: skipped a line that is not name:token\n", console)
        self.assertIn("[Cindervox] Agent tokens loaded from /etc/cindervox/agents:\n2\n", console)
        self.assertNotIn("readable by every user", console)

    def test_runs_and_writes_under_the_bound_name_whatever_x_agent_says(self):
        srv = self.srv
        r = srv.exec("echo hi", agent="admin", auth=CODER)
        self.assertEqual((r.status, r.json()["stdout"]), (200, "hi\n"))
        r = srv.post("/api/write", '{"path":"/tmp/by-coder","content":"x"}', auth=CODER,
                     headers={"X-Agent": "someone-else"})
        self.assertEqual(r.status, 200)
        self.assertEqual(srv.get("/api/health", auth=CODER).status, 200)
        # The MCP tools are the same routes under the same identity.
        r = srv.post("/mcp", json.dumps({"jsonrpc": "2.0", "id": 1, "method": "tools/call", "params": {
            "name": "execute_command", "arguments": {"command": "echo mcp"}}}), auth=CODER, headers={"X-Agent": "admin"})
        self.assertEqual(r.status, 200)
        tails = [e.split("] ", 1)[1] for e in entries(srv)[-3:]]
        self.assertRegex(tails[0], r'^\[coder\] EXEC OK "echo hi" exit=0 dur=\d+ms profile=moderate\n$')
        self.assertEqual(tails[1], '[coder] WRITE OK "/tmp/by-coder" exit=0 dur=0ms\n')
        self.assertRegex(tails[2], r'^\[coder\] EXEC OK "echo mcp" exit=0 dur=\d+ms profile=moderate\n$')
        agents = srv.get("/api/agents").json()
        names = [a["name"] for a in agents["agents"]]
        self.assertIn("coder", names)
        self.assertNotIn("admin", names)
        self.assertNotIn("someone-else", names)

    def test_every_other_route_is_refused_and_audited(self):
        srv = self.srv
        before = srv.get("/api/policy").raw
        for method, path, body in ADMIN_ROUTES:
            r = srv.request(method, path, body=body, auth=CODER)
            self.assertEqual(r.raw, REFUSED, (method, path))
        self.assertEqual(srv.get("/api/policy").raw, before)
        blocked = [e.split("] ", 1)[1] for e in entries(srv) if "AGENT_TOKEN" in e]
        self.assertEqual(blocked[-len(ADMIN_ROUTES):],
                         ['[coder] BLOCK AGENT_TOKEN "%s %s" exit=0 dur=0ms\n' % (m, p) for m, p, _ in ADMIN_ROUTES])

    def test_admin_credentials_are_unchanged_and_see_names_only(self):
        srv = self.srv
        for auth in (DEFAULT_AUTH, "Bearer lanternfish-bearer-0000"):
            self.assertEqual(srv.get("/api/policy", auth=auth).status, 200)
            self.assertEqual(srv.get("/", auth=auth).status, 200)
        r = srv.get("/api/agents")
        self.assertEqual(r.json()["token_agents"], ["coder", "reviewer"])
        self.assertNotIn(b"tok-", r.body)
        self.assertNotIn(b"tok-", srv.get("/").body)
        # A wrong token is a stranger.
        self.assertEqual(srv.get("/api/health", auth="Bearer tok-coder-").status, 401)

    def test_reload_picks_up_a_new_token_and_drops_an_old_one(self):
        srv = Instance(mode="basic", files={"agents": "coder:tok-coder-1\n"})
        self.addCleanup(srv.cleanup)
        self.assertIn("WARNING: /etc/cindervox/agents is readable by every user; make it 0600\n", srv.console())
        srv.write_etc("agents", "tester:tok-test-3\n", mode=0o600)
        os.chown(srv.path("etc", "agents"), 65534, 65534)  # the basic-mode server's own file
        self.assertEqual(srv.exec("echo x", auth="Bearer tok-test-3").status, 401)
        self.assertEqual(srv.post("/api/policy/reload", "").status, 404)  # no policy.conf, tokens reloaded all the same
        self.assertEqual(srv.exec("echo x", agent="a", auth="Bearer tok-test-3").status, 200)
        self.assertEqual(srv.exec("echo x", auth="Bearer tok-coder-1").status, 401)
        self.assertEqual(srv.get("/api/agents").json()["token_agents"], ["tester"])


if __name__ == "__main__":
    unittest.main()
