"""Scale-out behind HAProxy with deploy/haproxy.cfg: three sandbox servers and HAProxy,
each in a network namespace of its own, joined on a bridge in one more namespace that the
test makes, on addresses the test gives them (10.77.0.0/24, inside those namespaces
only). Agents are hashed on X-Agent to exactly one server each; when a server stops, its
agents move and every other agent stays where it was."""
import json
import os
import re
import shutil
import subprocess
import time
import unittest

from tests.blackbox import harness

SUBNET = "10.77.0"
SERVERS = ("11", "12", "13")
PROXY = "2"
AGENTS = ["agent-%02d" % i for i in range(30)]


def test_config():
    """deploy/haproxy.cfg with the test's servers on its server lines."""
    with open(os.path.join(harness.ROOT, "deploy", "haproxy.cfg")) as f:
        text = f.read()
    lines = [line for line in text.splitlines() if not line.strip().startswith("server ")]
    at = max(i for i, line in enumerate(lines) if line.strip().startswith("default-server"))
    ours = ["    server sandbox-%s %s.%s:7575 check" % (n, SUBNET, n) for n in SERVERS]
    return "\n".join(lines[:at + 1] + ours + lines[at + 1:]) + "\n"


def wait_own_namespace(pid, timeout=10.0):
    """Waits until process pid has left this process's network namespace: right after its
    start, unshare may not have run yet, and a link made for it would land here."""
    own = os.readlink("/proc/self/ns/net")
    deadline = time.time() + timeout
    while os.readlink("/proc/%d/ns/net" % pid) == own:
        if time.time() > deadline:
            raise RuntimeError("process %d never left the network namespace" % pid)
        time.sleep(0.01)


class Bridge:
    """A bridge in a network namespace of its own; veth pairs join other namespaces to it."""

    def __init__(self):
        self.proc = subprocess.Popen(["unshare", "--net", "sleep", "600"])
        wait_own_namespace(self.proc.pid)
        self.count = 0
        self.ip("link", "add", "cvxbr", "type", "bridge")
        self.ip("link", "set", "cvxbr", "up")

    def ip(self, *args):
        subprocess.run(["nsenter", "--net=/proc/%d/ns/net" % self.proc.pid, "ip"] + list(args),
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=10)

    def attach(self, pid):
        wait_own_namespace(pid)
        end = "cvxh%d" % self.count
        self.count += 1
        self.ip("link", "add", end, "type", "veth", "peer", "name", "cvx0", "netns", str(pid))
        self.ip("link", "set", end, "master", "cvxbr")
        self.ip("link", "set", end, "up")

    def close(self):
        # The namespace, its bridge and the veth ends go with the process.
        self.proc.kill()
        self.proc.wait(timeout=10)


@unittest.skipUnless(shutil.which("haproxy"), "haproxy missing: run tests/install_deps.sh")
class HAProxyScaleOut(unittest.TestCase):
    def setUp(self):
        self.started = []
        self.bridge = Bridge()
        self.addCleanup(self.cleanup)
        self.servers = {}
        for n in SERVERS:
            inst = self.start(address="%s.%s" % (SUBNET, n))
            self.servers["sandbox-" + n] = inst
        self.proxy = self.start(program="haproxy", binary_path=shutil.which("haproxy"),
                                address="%s.%s" % (SUBNET, PROXY),
                                args=["-f", "/mnt/etc/haproxy.cfg", "-db"],
                                files={"haproxy.cfg": test_config()})
        self.wait_for(lambda: self.proxy_health() == 200, "HAProxy to pass requests")

    def start(self, address, **kw):
        inst = harness.Instance(address=address, wait_for_port=False, **kw)
        self.started.append(inst)
        self.bridge.attach(inst.proc.pid)
        if kw.get("program") is None:
            inst.wait_listening()
        return inst

    def cleanup(self):
        for inst in self.started:
            inst.cleanup()
        self.bridge.close()

    def wait_for(self, check, what, timeout=30.0):
        deadline = time.time() + timeout
        while time.time() < deadline:
            if check():
                return
            time.sleep(0.25)
        self.fail("timed out waiting for " + what)

    def proxy_request(self, method, path, body=None, agent=None):
        # HAProxy keeps a client's connection open unless asked not to.
        headers = {"Connection": "close"}
        if agent:
            headers["X-Agent"] = agent
        try:
            return self.proxy.request(method, path, body=body, headers=headers)
        except OSError:
            return None

    def proxy_health(self):
        r = self.proxy_request("GET", "/api/health")
        return r.status if r else 0

    def run_every_agent(self):
        for agent in AGENTS:
            r = self.proxy_request("POST", "/api/exec", json.dumps({"cmd": "echo hi"}), agent)
            self.assertIsNotNone(r, agent)
            self.assertEqual((r.status, r.json().get("stdout")), (200, "hi\n"), (agent, r.raw[:300]))

    def placement(self, servers):
        """{agent: [(server, execs there)]} from each server's own GET /api/agents."""
        where = {agent: [] for agent in AGENTS}
        for name in servers:
            for entry in self.servers[name].get("/api/agents").json()["agents"]:
                if entry["name"] in where:
                    where[entry["name"]].append((name, entry["execs"]))
        return where

    def test_agents_stick_to_one_server_and_only_a_leaving_servers_agents_move(self):
        self.run_every_agent()
        self.run_every_agent()
        before = self.placement(self.servers)
        for agent, places in before.items():
            self.assertEqual(len(places), 1, (agent, places))
            self.assertEqual(places[0][1], 2, (agent, places))
        home = {agent: places[0][0] for agent, places in before.items()}
        counts = {name: sum(1 for h in home.values() if h == name) for name in self.servers}
        print("\nagents per server before:", counts)
        self.assertTrue(all(c > 0 for c in counts.values()), counts)

        leaving = max(counts, key=counts.get)
        self.servers[leaving].stop()
        stayed = [name for name in self.servers if name != leaving]
        moved_agent = next(a for a, h in home.items() if h == leaving)
        probe = lambda: (self.proxy_request("POST", "/api/exec", json.dumps({"cmd": "echo hi"}),
                                            moved_agent) or harness.Response(b"")).status == 200
        self.wait_for(probe, "HAProxy to take %s out" % leaving)
        self.run_every_agent()
        after = self.placement(stayed)
        for agent, places in after.items():
            self.assertEqual(len(places), 1, (agent, places))
            server, execs = places[0]
            if home[agent] == leaving:
                self.assertIn(server, stayed)
                self.assertEqual(execs, 2 if agent == moved_agent else 1, (agent, places))
            else:
                self.assertEqual((server, execs), (home[agent], 3), agent)
        counts_after = {name: sum(1 for p in after.values() if p[0][0] == name) for name in stayed}
        print("agents per server after %s left:" % leaving, counts_after)

    def test_a_server_that_refuses_the_checks_login_is_taken_out(self):
        # The check is an authenticated GET /api/health: once a server's login no longer
        # matches the one in haproxy.cfg, it answers 401, fails the check and gets no agent.
        changed = self.servers["sandbox-12"]
        answer = changed.post("/api/config", json.dumps({"username": "ops", "password": "other-pass"}))
        self.assertEqual(answer.status, 200, answer.raw)
        self.wait_for(lambda: "sandbox-12 is DOWN" in self.proxy.console(), "the check to fail")
        self.run_every_agent()
        where = self.placement(["sandbox-11", "sandbox-13"])
        self.assertTrue(all(len(p) == 1 for p in where.values()), where)
        self.assertEqual(changed.get("/api/agents", auth="Basic b3BzOm90aGVyLXBhc3M=").json()["agents"], [])


if __name__ == "__main__":
    unittest.main()
