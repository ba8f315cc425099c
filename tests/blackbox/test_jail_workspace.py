"""The jail and the agents' workspaces, used as agents use them: multi-step work with
ordinary tools, each step a separate POST /api/exec of the same agent, in kernel isolation
(server as root) and in basic isolation with rootless namespaces (server as uid 65534).
Then what must stay apart: agents from each other, the host from the jail, the host's
mount table from the server's mounts, and a run's memory from the host's.
"""
import json
import os
import re
import signal
import threading
import time
import unittest

from tests.blackbox.harness import POOL_SIZE, Instance

PERMISSIVE = {"policy.conf": "[config]\nprofile=2\n"}
# Keeps a process in the instance's own mount namespace, the host side of the server's.
# Started from a subshell that ends at once, so it is no child of the server either.
HOLDER = "( sleep 100000 & echo $! > /mnt/holder.pid )"

HELLO_C = '#include <stdio.h>\nint main(void) { printf("hello from c\\n"); return 0; }\n'
MAKEFILE = "all: made.txt\nmade.txt:\n\techo made > made.txt\n"


class Jail:
    mode = None

    @classmethod
    def setUpClass(cls):
        cls.inst = Instance(mode=cls.mode, files=PERMISSIVE, extra_setup=HOLDER)

    @classmethod
    def tearDownClass(cls):
        holder = cls.holder_pid()
        cls.inst.cleanup()
        if holder:
            try:
                os.kill(holder, signal.SIGKILL)
            except OSError:
                pass

    @classmethod
    def holder_pid(cls):
        try:
            with open(cls.inst.path("holder.pid")) as f:
                return int(f.read())
        except (OSError, ValueError):
            return None

    def run_cmd(self, cmd, agent="worker"):
        r = self.inst.exec(cmd, agent=agent)
        self.assertEqual(r.status, 200, r.raw[:300])
        return r.json()

    def ok(self, cmd, agent="worker"):
        out = self.run_cmd(cmd, agent)
        self.assertEqual(out["exit_code"], 0, out)
        return out["stdout"]

    def write(self, path, content, agent="worker"):
        r = self.inst.post("/api/write", json.dumps({"path": path, "content": content}),
                           headers={"X-Agent": agent})
        self.assertEqual(r.status, 200, r.raw[:300])

    def read(self, path, agent="worker"):
        return self.inst.post("/api/read", json.dumps({"path": path}), headers={"X-Agent": agent})

    def test_real_workload_across_separate_commands(self):
        self.write("/tmp/hello.c", HELLO_C)
        self.ok("gcc -o hello hello.c")
        self.assertEqual(self.ok("./hello"), "hello from c\n")
        self.ok("git init -q repo")
        self.ok("cd repo && git config user.name Agent && git config user.email agent@example.invalid")
        self.ok("cd repo && echo one > one.txt && git add one.txt && git commit -q -m first")
        self.assertEqual(self.ok("cd repo && git log --format=%an:%s"), "Agent:first\n")
        # Without pip, which takes seconds to install (test_jail_network makes a venv with it).
        self.ok("python3 -m venv --without-pip venv")
        self.write("/tmp/job.py", "import sys\nprint(sys.prefix)\n")
        self.assertEqual(self.ok("venv/bin/python job.py"), "/tmp/venv\n")
        self.assertEqual(self.ok("node -e 'console.log(6 * 7)'"), "42\n")
        self.write("/tmp/Makefile", MAKEFILE)
        self.ok("make -s")
        self.assertEqual(self.ok("cat made.txt"), "made\n")
        self.assertEqual(self.ok("echo hidden > /dev/null 2>&1; echo shown"), "shown\n")
        self.assertEqual(self.ok("sleep 0.1 & wait; echo waited"), "waited\n")
        self.assertEqual(self.ok("whoami; echo $HOME $TERM; pwd"), "sandbox\n/tmp dumb\n/tmp\n")
        self.ok("echo written by a command > result.txt")
        r = self.read("/tmp/result.txt")
        self.assertEqual(r.json(), {"ok": True, "path": "/tmp/result.txt", "size": 21, "offset": 0, "bytes": 21,
                                    "encoding": "utf-8", "content": "written by a command\n", "eof": True})

    def test_ps_and_proc_show_only_the_run(self):
        lines = self.ok("ps -e -o pid=,comm=").split()
        # The jail's init, the shell and ps itself.
        self.assertEqual(lines[0::2], ["1", "2", "3"], lines)
        self.assertEqual(lines[3:6:2], ["sh", "ps"], lines)
        entries = self.ok("ls /proc").split()
        self.assertEqual(sorted(e for e in entries if e.isdigit()), ["1", "2", "3"])
        self.assertNotIn(str(self.inst.proc.pid), entries)
        mounts = self.ok("cd /proc && cat self/mounts")
        self.assertRegex(mounts, r"proc /proc proc ro?w?,nosuid,nodev,noexec")

    def test_jail_shows_no_host_secret(self):
        # The command screen refuses some of these names spelled out; the shell builds them.
        out = self.run_cmd("ls -A /; ls -A /etc; e=/etc; cat $e/shadow; ls /root; ls $e/cindervox; "
                           "ls /var /mnt /home; cat $e/machine-id")
        listing = out["stdout"]
        top = listing.split("\n", 1)[0]
        self.assertEqual(listing.split()[:9],
                         ["bin", "dev", "etc", "lib", "lib64", "proc", "sbin", "tmp", "usr"], top)
        for name in ("shadow", "gshadow", "sudoers", "cindervox", "machine-id", "ssh"):
            self.assertNotRegex(listing, r"(?m)^%s$" % name)
        self.assertEqual(out["stderr"].count("No such file or directory"), 7, out["stderr"])
        self.assertIn("sandbox:x:", self.ok("cd /etc && cat passwd"))

    def test_read_answers_and_refusals(self):
        self.ok("python3 -c 'import sys; sys.stdout.buffer.write(bytes([99, 97, 102, 195, 169, 32, 255, 1]))' > bytes.bin")
        self.ok("mkdir -p sub; ln -s bytes.bin link; mkfifo pipe")
        r = self.read("/tmp/bytes.bin")
        self.assertEqual(r.status, 200)
        # A byte that is no UTF-8 comes back as U+FFFD, and the answer says so; a control
        # byte escaped.
        self.assertEqual((r.json()["content"], r.json()["lossy"]), ("caf\u00e9 \ufffd\u0001", True))
        self.ok("head -c 70000 /dev/zero | tr -c a a > big.txt")
        big = self.read("/tmp/big.txt").json()
        self.assertEqual((big["size"], len(big["content"]), big["eof"]), (70000, 70000, True))
        refusals = [("{}", 400, "missing path field"),
                    ('{"path":"/etc/passwd"}', 403, "path must start with /tmp/"),
                    ('{"path":"/tmp/../etc/passwd"}', 403, "path traversal not allowed"),
                    ('{"path":"/tmp/link"}', 403, "symbolic links not allowed: /tmp/link"),
                    ('{"path":"/tmp/nothing"}', 404, "no such file: /tmp/nothing"),
                    ('{"path":"/tmp/sub"}', 400, "is a directory: /tmp/sub"),
                    ('{"path":"/tmp/pipe"}', 400, "not a regular file: /tmp/pipe")]
        for body, status, message in refusals:
            r = self.inst.post("/api/read", body, headers={"X-Agent": "worker"})
            self.assertEqual((r.status, r.json()), (status, {"ok": False, "error": message}), body)
        audit = self.inst.get("/api/audit?agent=worker").json()["entries"]
        self.assertTrue(any(' READ OK "/tmp/bytes.bin"' in e for e in audit), audit[-3:])

    def test_write_never_follows_a_link_out_of_the_workspace(self):
        self.ok("e=/etc; ln -s $e/passwd planted; ln -s / root")
        for path in ("/tmp/planted", "/tmp/root/etc/passwd"):
            r = self.inst.post("/api/write", json.dumps({"path": path, "content": "x"}),
                               headers={"X-Agent": "worker"})
            self.assertEqual(r.status, 403, path)
        self.assertIn("root:x:0:0", self.ok("cd /etc && cat passwd"))

    def test_agents_are_kept_apart_and_reset_empties_workspaces(self):
        self.ok("echo secret-a > a.txt", agent="alpha")
        self.assertEqual(self.ok("ls -A /tmp", agent="beta"), "")
        self.assertEqual(self.read("/tmp/a.txt", agent="beta").status, 404)
        self.assertEqual(self.read("/tmp/a.txt", agent="alpha").json()["content"], "secret-a\n")
        seen = {}
        worker = threading.Thread(target=lambda: seen.update(
            out=self.run_cmd("sleep 2; echo alpha-done", agent="alpha")))
        worker.start()
        time.sleep(0.8)
        beta = self.ok("ps -e -o args=; find / -xdev -name a.txt 2>/dev/null; id -u", agent="beta")
        worker.join()
        self.assertEqual(seen["out"]["stdout"], "alpha-done\n")
        self.assertNotIn("sleep", beta)
        self.assertNotRegex(beta, r"(?m)^/.*a\.txt$")
        self.assertNotEqual(beta.split()[-1], self.ok("id -u", agent="alpha").strip())
        agents = {a["name"]: a for a in self.inst.get("/api/agents").json()["agents"]}
        self.assertGreater(agents["alpha"]["workspace_bytes"], 0)
        self.assertEqual(self.inst.request("DELETE", "/api/sandbox").status, 200)
        self.assertEqual(self.ok("ls -A /tmp", agent="alpha"), "")
        self.assertEqual(self.read("/tmp/a.txt", agent="alpha").status, 404)

    def test_no_mount_reaches_the_host_after_many_runs_and_a_reset(self):
        holder = self.holder_pid()
        self.assertIsNotNone(holder)
        with open("/proc/%d/mountinfo" % holder) as f:
            before = f.read()
        for i in range(50):
            self.run_cmd("true", agent="many%d" % (i % 5))
        self.inst.request("DELETE", "/api/sandbox")
        with open("/proc/%d/mountinfo" % holder) as f:
            after = f.read()
        self.assertEqual(before, after)
        self.assertNotIn("/ws/", after)
        with open("/proc/%d/mountinfo" % self.inst.proc.pid) as f:
            self.assertIn(" /tmp", f.read())  # the server's own view still has the jail


class KernelJail(Jail, unittest.TestCase):
    mode = "kernel"

    def test_files_belong_to_the_agents_uid(self):
        self.write("/tmp/given.txt", "x", agent="owner")
        self.ok("echo y > made.txt", agent="owner")
        uid = self.ok("id -u", agent="owner").strip()
        self.assertGreaterEqual(int(uid), 60000)
        self.assertEqual(self.ok("stat -c %u given.txt made.txt .", agent="owner").split(), [uid] * 3)

    def test_run_memory_is_bounded_as_a_whole(self):
        # Six children of 900 MB each under the permissive 1,024 MB: each fits the
        # per-process limit, together they exceed the run's group.
        program = ("import os, time\n"
                   "for i in range(6):\n"
                   "    if os.fork() == 0:\n"
                   "        x = b'x' * (900 << 20)\n"
                   "        time.sleep(60)\n"
                   "        os._exit(0)\n"
                   "time.sleep(60)\n")
        self.write("/tmp/hog.py", program, agent="hog")
        started = time.time()
        out = self.run_cmd("python3 hog.py", agent="hog")
        self.assertLess(time.time() - started, 40)
        self.assertEqual((out["exit_code"], out["killed_by"]), (137, "memory"), out)
        entry = self.inst.get("/api/audit?agent=hog").json()["entries"][-1]
        self.assertRegex(entry, r'\] EXEC MEMORY_LIMIT "python3 hog.py" exit=137 ')
        for hierarchy in ("memory", "pids"):
            left = self.run_groups_beyond_the_pool(hierarchy)
            self.assertEqual(left, [], hierarchy)
        self.assertEqual(self.ok("echo alive", agent="hog"), "alive\n")

    def run_groups_beyond_the_pool(self, hierarchy, timeout=5.0):
        """The server's run groups once at most the pool's are left (each holding its
        prepared init, or none yet): [] then, else every group found."""
        pid = self.inst.proc.pid
        deadline = time.time() + timeout
        while True:
            left = [os.path.join(top, d) for top, dirs, _ in os.walk("/sys/fs/cgroup/" + hierarchy) for d in dirs
                    if re.fullmatch(r"cindervox-%d-\d+" % pid, d)]
            tasks = []
            for group in left:
                with open(os.path.join(group, "tasks")) as f:
                    tasks.append(len(f.read().split()))
            if len(left) <= POOL_SIZE and all(t <= 1 for t in tasks):
                return []
            if time.time() > deadline:
                return list(zip(left, tasks))
            time.sleep(0.05)

    def agent_groups(self):
        """Usage and bound in bytes of each of the server's agent memory groups, by name."""
        root = "/sys/fs/cgroup/memory"
        groups = {}
        for d in os.listdir(root):
            if d.startswith("cindervox-%d-agent" % self.inst.proc.pid):
                with open(os.path.join(root, d, "memory.usage_in_bytes")) as f:
                    usage = int(f.read())
                with open(os.path.join(root, d, "memory.limit_in_bytes")) as f:
                    groups[d] = (usage, int(f.read()))
        return groups

    def test_workspace_memory_stays_charged_to_the_agents_group(self):
        # Written by a run whose own group is removed when it ends; the pages stay counted
        # in the agent's group (default workspace 256 MiB + the permissive 1,024 MiB).
        self.ok("true", agent="charged")
        before = self.agent_groups()
        self.ok("for f in 1 2 3; do head -c 52428800 /dev/zero > f$f; done", agent="charged")
        after = self.agent_groups()
        grown = [name for name in after if after[name][0] - before.get(name, (0, 0))[0] >= 145 << 20]
        self.assertEqual(len(grown), 1, (before, after))
        self.assertEqual(after[grown[0]][1], (256 + 1024) << 20)
        self.ok("rm f1 f2 f3", agent="charged")
        self.assertLess(self.agent_groups()[grown[0]][0], after[grown[0]][0] - (140 << 20))


class RootlessJail(Jail, unittest.TestCase):
    mode = "basic"

    def test_health_and_banner_say_namespaces(self):
        health = self.inst.get("/api/health").json()
        self.assertEqual((health["isolation"], health["namespaces"]), ("basic", True))
        self.assertIn("Isolation: BASIC + rootless namespaces", self.inst.console())

    def test_server_files_are_out_of_reach(self):
        # The command maps onto the server's own uid outside, which owns these files.
        self.inst.write_etc("policy.conf", "[config]\nprofile=2\n")
        out = self.run_cmd("echo x >> /etc/cindervox/policy.conf; ls /var/log/cindervox")
        self.assertNotEqual(out["exit_code"], 0)
        with open(self.inst.path("etc", "policy.conf")) as f:
            self.assertEqual(f.read(), "[config]\nprofile=2\n")


class WorkspaceLimit(unittest.TestCase):
    def test_full_workspace_fails_with_enospc_and_the_server_serves_on(self):
        for mode in ("kernel", "basic"):
            with Instance(mode=mode, files=dict(PERMISSIVE, config="workspace_mb=2\n")) as inst:
                r = inst.exec("head -c 3000000 /dev/zero > big; echo status $?", agent="filler").json()
                self.assertIn("No space left on device", r["stderr"], mode)
                self.assertTrue(r["stdout"].endswith("status 1\n"), r)
                r = inst.post("/api/write", json.dumps({"path": "/tmp/more", "content": "x" * 60000}),
                              headers={"X-Agent": "filler"})
                self.assertEqual((r.status, r.json()), (507, {"ok": False, "error": "workspace full"}))
                self.assertEqual(inst.get("/api/health").status, 200)
                self.assertEqual(inst.exec("rm big; echo freed", agent="filler").json()["stdout"], "freed\n")


class AgentGroupSweep(unittest.TestCase):
    def test_agent_groups_of_killed_servers_go_at_start_up_and_live_ones_stay(self):
        root = "/sys/fs/cgroup/memory"
        dead = next(p for p in range(4000000, 3000000, -1) if not os.path.exists("/proc/%d" % p))
        gone = os.path.join(root, "cindervox-%d-agent3" % dead)
        kept = os.path.join(root, "cindervox-%d-agent0" % os.getpid())
        made = [gone, os.path.join(gone, "cindervox-%d-17" % dead), kept]
        for d in made:
            os.mkdir(d)
        try:
            with Instance(mode="kernel") as inst:
                self.assertEqual(inst.exec("echo up").status, 200)
                self.assertFalse(os.path.exists(gone))
                self.assertTrue(os.path.exists(kept))
        finally:
            for d in reversed(made):
                if os.path.exists(d):
                    os.rmdir(d)


if __name__ == "__main__":
    unittest.main()
