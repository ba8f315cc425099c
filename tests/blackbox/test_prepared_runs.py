"""Prepared runs: jail inits made ahead of their commands (prepared_runs=2), in kernel
isolation and rootless. A prepared init holds nothing of the server's but its control
socket; a command it serves, however long the init waited, sees a /proc of its own run
alone; consecutive commands of two agents see nothing of each other; an init that dies
is replaced; the server's stop ends the inits; the groups made ahead for an agent's next
run bound it, and go with the agent.
The isolation suites themselves run with the pool on and off (CINDERVOX_PREPARED_RUNS,
see the Makefile)."""
import json
import os
import signal
import time
import unittest

from tests.blackbox.harness import Instance

CONFIG = "prepared_runs=2\n"
PERMISSIVE = "[config]\nprofile=2\n"
CLOCK_TICKS = os.sysconf("SC_CLK_TCK")


def children(pid):
    try:
        with open("/proc/%d/task/%d/children" % (pid, pid)) as f:
            return [int(c) for c in f.read().split()]
    except OSError:
        return []


def alive(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().split(") ")[1][0] != "Z"
    except OSError:
        return False


def holds_control_socket(pid):
    try:
        return os.readlink("/proc/%d/fd/4" % pid).startswith("socket:")
    except OSError:
        return False


def memory_group(pid):
    try:
        with open("/proc/%d/cgroup" % pid) as f:
            return [line.split(":")[2].strip() for line in f if ":memory:" in line][0]
    except (OSError, IndexError):
        return ""


class Prepared:
    mode = None

    def setUp(self):
        self.inst = Instance(mode=self.mode, files={"config": CONFIG, "policy.conf": PERMISSIVE})
        self.server = self.inst.server_pid()

    def tearDown(self):
        self.inst.cleanup()

    def run_cmd(self, cmd, agent="worker", extra=None):
        r = self.inst.exec(cmd, agent=agent, extra=extra)
        self.assertEqual(r.status, 200, r.raw[:300])
        return r.json()

    def ok(self, cmd, agent="worker", extra=None):
        out = self.run_cmd(cmd, agent, extra)
        self.assertEqual(out["exit_code"], 0, out)
        return out["stdout"]

    def waiting_inits(self, count=2, timeout=10.0):
        """The server's prepared inits once exactly count of them wait (the init of a run
        that has ended may still be on its way out: it holds no control socket)."""
        deadline = time.time() + timeout
        while time.time() < deadline:
            found = [c for c in children(self.server) if alive(c) and holds_control_socket(c)]
            if len(found) == count and len(children(self.server)) == count:
                return found
            time.sleep(0.05)
        self.fail("expected %d prepared inits, found %r" % (count, children(self.server)))

    def test_prepared_inits_hold_only_their_control_socket_and_ruleset(self):
        for pid in self.waiting_inits():
            fds = sorted(int(fd) for fd in os.listdir("/proc/%d/fd" % pid))
            # 4: the control socket; 5: the prepared Landlock ruleset.
            self.assertIn(fds, ([4], [4, 5]), pid)
            self.assertTrue(os.readlink("/proc/%d/fd/4" % pid).startswith("socket:"))

    def test_a_run_that_waited_sees_a_fresh_proc_of_its_own(self):
        self.waiting_inits()
        time.sleep(2)
        out = self.ok("cd /proc && cut -d' ' -f22 1/stat && cut -d' ' -f1 uptime && echo $$ && ls -d [0-9]*")
        started, uptime, shell, *pids = out.split()
        # The init was made before the command came, and waited.
        self.assertGreater(float(uptime) - int(started) / CLOCK_TICKS, 1.5, out)
        self.assertEqual(shell, "2")
        # The init, the shell and the commands of the pipeline: nothing older, nothing else.
        self.assertEqual(pids[:2], ["1", "2"], out)
        self.assertTrue(all(int(p) < 10 for p in pids), out)

    def test_consecutive_agents_see_nothing_of_each_other(self):
        for _ in range(3):
            self.ok("echo secret > /tmp/mine.txt; (sleep 60 &); echo $SECRET_A", agent="alpha",
                    extra={"env": {"SECRET_A": "alpha-only"}})
            out = self.ok("ls -a /tmp; env; ps -e -o comm=", agent="beta")
            self.assertNotIn("mine.txt", out)
            self.assertNotIn("alpha-only", out)
            self.assertNotIn("sleep", out)
            self.assertEqual(self.ok("cat /tmp/mine.txt", agent="alpha"), "secret\n")

    def test_a_prepared_init_that_dies_is_replaced(self):
        first, second = self.waiting_inits()
        os.kill(first, signal.SIGKILL)
        deadline = time.time() + 10
        while time.time() < deadline and first in children(self.server):
            time.sleep(0.05)
        self.assertNotIn(first, children(self.server))
        replaced = self.waiting_inits()
        self.assertIn(second, replaced)
        self.assertEqual(self.ok("echo still"), "still\n")

    def test_stop_ends_the_prepared_inits(self):
        inits = self.waiting_inits()
        os.kill(self.server, signal.SIGTERM)
        self.assertEqual(self.inst.wait_exit(), 0)
        deadline = time.time() + 5
        while time.time() < deadline and any(alive(p) for p in inits):
            time.sleep(0.05)
        self.assertFalse(any(alive(p) for p in inits))


class KernelPrepared(Prepared, unittest.TestCase):
    mode = "kernel"

    def agent_group(self, slot_name_pattern="agent"):
        root = "/sys/fs/cgroup/memory"
        return [d for d in os.listdir(root) if d.startswith("cindervox-%d-%s" % (self.server, slot_name_pattern))]

    def test_waiting_inits_stay_outside_every_agents_group(self):
        # A waiting init shares the server's memory: in an agent's group, that agent's
        # out-of-memory kill could choose it, and the server with it.
        for _ in range(3):
            self.ok("true", agent="leaving")
        inits = self.waiting_inits()
        self.assertEqual([g for g in map(memory_group, inits) if "-agent" in g], [])
        groups = self.agent_group()
        self.assertEqual(len(groups), 1, groups)
        r = self.inst.request("DELETE", "/api/agents/leaving")
        self.assertEqual(r.status, 200, r.raw[:300])
        self.assertEqual(self.agent_group(), [])
        self.assertTrue(all(alive(p) for p in inits))
        self.assertEqual(self.ok("echo after"), "after\n")

    def memory_parent(self, agent):
        out = self.ok("cd /proc && cat self/cgroup", agent=agent)
        path = [line for line in out.splitlines() if ":memory:" in line][0].split(":")[2]
        return os.path.dirname(path)

    def test_a_run_of_another_agent_is_counted_in_its_own_group(self):
        first = self.memory_parent("first")
        # Each run is moved into its own agent's groups from the pool's neutral one.
        self.waiting_inits()
        second = self.memory_parent("second")
        self.assertNotEqual(first, second)
        for parent in (first, second):
            self.assertRegex(parent, r"^/cindervox-%d-agent\d+$" % self.server)
        self.waiting_inits()
        self.assertEqual(self.memory_parent("first"), first)

    def run_groups(self, parent):
        root = "/sys/fs/cgroup/memory" + parent
        return sorted(d for d in os.listdir(root) if os.path.isdir(os.path.join(root, d)))

    def test_groups_made_ahead_bound_the_run_that_joins_them(self):
        # The pool makes the waiting inits' groups ahead in the agent's group that ran last;
        # the next run of that agent joins one of them, bounded for it.
        parent = self.memory_parent("steady")
        self.waiting_inits()
        deadline = time.time() + 10
        while len(self.run_groups(parent)) < 2 and time.time() < deadline:
            time.sleep(0.05)
        ahead = self.run_groups(parent)
        self.assertEqual(len(ahead), 2, ahead)
        r = self.inst.exec("cd /proc && cat self/cgroup; sleep 30", agent="steady", extra={"background": True})
        self.assertEqual(r.status, 202, r.raw[:300])
        run_id = r.json()["run_id"]
        deadline = time.time() + 10
        while ":pids:" not in (out := self.inst.get("/api/runs/%d" % run_id, headers={"X-Agent": "steady"}).json()["output"]):
            self.assertLess(time.time(), deadline)
            time.sleep(0.05)
        groups = dict(line.split(":")[1:] for line in out.splitlines() if line.count(":") == 2)
        memory, pids = groups["memory"], groups["pids"]
        self.assertEqual(os.path.dirname(memory), parent)
        self.assertIn(os.path.basename(memory), ahead)
        limits = self.inst.get("/api/health").json()
        with open("/sys/fs/cgroup/memory%s/memory.limit_in_bytes" % memory) as f:
            self.assertEqual(int(f.read()), limits["max_mem_mb"] << 20)
        with open("/sys/fs/cgroup/pids%s/pids.max" % pids) as f:
            self.assertEqual(int(f.read()), limits["max_procs"] + 1)
        self.assertEqual(self.inst.request("DELETE", "/api/runs/%d" % run_id, headers={"X-Agent": "steady"}).status, 200)


# Fills SysV shared memory that no process maps: charged to the run's groups while every
# task there stays small, so the kernel's own out-of-memory choice would fall on the
# largest task in sight, the jail's init, which holds the server's memory.
FILL = """
import ctypes, sys
libc = ctypes.CDLL(None, use_errno=True)
libc.shmat.restype = ctypes.c_void_p
libc.shmat.argtypes = [ctypes.c_int, ctypes.c_void_p, ctypes.c_int]
libc.shmdt.argtypes = [ctypes.c_void_p]
total = 0
while total < int(sys.argv[1]):
    sid = libc.shmget(0, 4 << 20, 0o1600)
    addr = libc.shmat(sid, None, 0)
    ctypes.memset(addr, 1, 4 << 20)
    libc.shmdt(ctypes.c_void_p(addr))
    total += 4
print("filled", total, flush=True)
"""


class AgentMemoryBoundTest(unittest.TestCase):
    def test_an_agent_at_its_memory_bound_loses_its_run_not_the_server(self):
        files = {"config": "workspace_mb=16\n", "policy.conf": "[config]\nprofile=1\n"}
        with Instance(mode="kernel", files=files) as srv:
            server = srv.server_pid()
            self.assertEqual(srv.post("/api/write", json.dumps({"path": "/tmp/fill.py", "content": FILL}),
                                      headers={"X-Agent": "hog"}).status, 200)
            r = srv.exec("python3 fill.py 170; sleep 30", agent="hog", extra={"background": True})
            self.assertEqual(r.status, 202, r.raw[:300])
            run_id = r.json()["run_id"]
            deadline = time.time() + 20
            while "filled" not in srv.get("/api/runs/%d" % run_id, headers={"X-Agent": "hog"}).json()["output"]:
                self.assertLess(time.time(), deadline)
                time.sleep(0.2)
            # The kernel's killer is kept out of the agent's group and its runs' groups.
            root = "/sys/fs/cgroup/memory/cindervox-%d-agent0" % server
            groups = [d for d, _, files in os.walk(root) if "memory.oom_control" in files]
            self.assertGreaterEqual(len(groups), 2, groups)
            for group in groups:
                with open(os.path.join(group, "memory.oom_control")) as f:
                    self.assertIn("oom_kill_disable 1", f.read(), group)
            # The agent's group (256 MiB of runs beside 16 MiB of workspace) runs out while
            # this run's output waits in the server's memory.
            r = srv.exec("head -c 1000000 /dev/zero | tr '\\0' a; python3 fill.py 120 >&2; "
                         "exec head -c 16000000 /dev/zero > /dev/shm/last", agent="hog", timeout=60)
            self.assertEqual(r.status, 200, r.raw[:300])
            self.assertEqual((r.json()["exit_code"], r.json().get("killed_by")), (137, "memory"))
            self.assertTrue(alive(server))
            self.assertEqual(srv.exec("echo still here", agent="other").json()["stdout"], "still here\n")


class RootlessPrepared(Prepared, unittest.TestCase):
    mode = "basic"


if __name__ == "__main__":
    unittest.main()
