"""Agent uids per server in kernel isolation: uid_base= moves the agents' range, and start-up
claims the range (a lock in /run/cindervox, and no process already under it) or refuses
to start, naming the range and the setting.

Every instance runs in the harness's own pid namespace, so each server's /proc scan sees the
other instances' agents; instances given the same run_dir share /run/cindervox as servers
on one host do."""
import os
import threading
import time
import unittest

from tests.blackbox.harness import Instance

# Children held for a while, as many as the strict limit of 16 processes allows (the shell
# and python3 among them), then their count.
FORKS = ("python3 -c 'import os, time\n"
         "kids = []\n"
         "for i in range(24):\n"
         "    try:\n"
         "        pid = os.fork()\n"
         "    except OSError:\n"
         "        break\n"
         "    if pid == 0:\n"
         "        time.sleep(1.5); os._exit(0)\n"
         "    kids.append(pid)\n"
         "print(len(kids))\n"
         "[os.waitpid(k, 0) for k in kids]'")
UID = "python3 -c 'import os; print(os.getuid(), os.getgid())'"


def refused(inst):
    """The console of an instance that must end by itself, once it has."""
    inst.wait_exit(timeout=10)
    # The Landlock probe comes first, before the range is claimed.
    return "".join(line for line in inst.console().splitlines(True) if not line.startswith("[Cindervox] Landlock "))


class AgentUidRangeTest(unittest.TestCase):
    def test_two_servers_with_different_bases_run_strict_commands_side_by_side(self):
        with Instance(mode="kernel", files={"config": "uid_base=61000\nmax_agents=32\n"}) as a, \
                Instance(mode="kernel", files={"config": "uid_base=62000\nmax_agents=32\n"}, run_dir=a.path("run")) as b:
            self.assertEqual(a.exec(UID, agent="one").json()["stdout"], "61000 61000\n")
            self.assertEqual(b.exec(UID, agent="one").json()["stdout"], "62000 62000\n")
            alone = a.exec(FORKS, agent="one").json()["stdout"]
            self.assertIn(alone, ("14\n", "15\n"))
            results = {}

            def run(name, inst):
                results[name] = inst.exec(FORKS, agent="one", pace=False)

            threads = [threading.Thread(target=run, args=item) for item in (("a", a), ("b", b))]
            for t in threads:
                t.start()
            for t in threads:
                t.join(30)
            for name in ("a", "b"):
                r = results[name]
                self.assertEqual(r.status, 200, r.raw[:300])
                self.assertEqual(r.json()["stdout"], alone, name)
                self.assertNotIn(b"Cannot fork", r.raw)
            # The jail's accounts follow the base.
            names = "python3 -c 'import pwd; print(pwd.getpwuid(62000).pw_name, pwd.getpwuid(62032).pw_dir)'"
            self.assertEqual(b.exec(names).json()["stdout"], "sandbox /tmp\n")

    # The range is uid_base to uid_base + max_agents (1024 by default).
    def test_a_second_server_on_a_held_range_does_not_start(self):
        with Instance(mode="kernel", files={"config": "uid_base=61000\n"}) as a:
            # Only the server may open the lock file: a read lock of anyone else's would keep
            # every server off the range.
            lock = os.stat(os.path.join(a.path("run"), "cindervox", "uids.lock"))
            self.assertEqual((lock.st_mode & 0o777, lock.st_uid), (0o600, 0))
            # The same base, and a range that overlaps the first one's end.
            for base in (61000, 62024):
                second = Instance(mode="kernel", files={"config": "uid_base=%d\n" % base}, run_dir=a.path("run"),
                                  wait_for_port=False)
                try:
                    self.assertEqual(refused(second), (
                        "[ERROR] agent uids %d-%d are held by another server (/run/cindervox/uids.lock); "
                        "set uid_base= in /etc/cindervox/config\n" % (base, base + 1024)))
                    self.assertEqual(second.proc.returncode, 1)
                finally:
                    second.cleanup()
            # Past the first range the lock is free; the first server was never disturbed.
            with Instance(mode="kernel", files={"config": "uid_base=62025\nmax_agents=8\n"}, run_dir=a.path("run")) as c:
                self.assertEqual(c.exec(UID, agent="x").json()["stdout"], "62025 62025\n")
            self.assertEqual(a.exec("echo still", agent="x").json()["stdout"], "still\n")

    def test_a_server_does_not_start_under_uids_a_process_runs_as(self):
        # Another server (with a /run of its own, so no lock tells) runs an agent's command.
        with Instance(mode="kernel", files={"config": "uid_base=63000\n"}) as a:
            holder = threading.Thread(target=lambda: a.exec("python3 -c 'import time; time.sleep(4)'", agent="z", pace=False))
            holder.start()
            try:
                deadline = time.time() + 5
                while time.time() < deadline and not processes_of(63000):
                    time.sleep(0.05)
                pid = processes_of(63000)[0]
                second = Instance(mode="kernel", files={"config": "uid_base=62990\nmax_agents=32\n"}, wait_for_port=False)
                try:
                    console = refused(second)
                finally:
                    second.cleanup()
                self.assertRegex(console, r"^\[ERROR\] agent uids 62990-63022 are in use by another process \(pid \d+\); "
                                          r"set uid_base= in /etc/cindervox/config\n$")
                self.assertIn(int(console.split("(pid ")[1].split(")")[0]), processes_of(63000) + [pid])
            finally:
                holder.join(10)

    def test_out_of_range_base_is_ignored_and_the_value_before_it_stands(self):
        with Instance(mode="kernel", files={"config": "uid_base=61500\nuid_base=999\nuid_base=65502\n"}) as a:
            out = a.console()
            self.assertIn("line 2: uid_base must be a whole number from 1000 to 64509; ignored\n", out)
            self.assertIn("line 3: uid_base must be a whole number from 1000 to 64509; ignored\n", out)
            self.assertEqual(a.exec(UID, agent="one").json()["stdout"], "61500 61500\n")


def processes_of(uid):
    """Pids of the host whose real uid is uid."""
    import os
    found = []
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            with open("/proc/%s/status" % name) as f:
                for line in f:
                    if line.startswith("Uid:"):
                        if int(line.split()[1]) == uid:
                            found.append(int(name))
                        break
        except OSError:
            continue
    return found


if __name__ == "__main__":
    unittest.main()
