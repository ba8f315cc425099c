"""The Landlock domain every run enters, in each mode: plain basic isolation (no user
namespaces: Landlock is what keeps commands from the server's files), rootless basic
isolation and kernel isolation. What must fail: reading the agents file, truncating the
audit log, signalling the server, reading another agent's files. What must still work:
ordinary commands, in the workspace. And a host without user namespaces and without
Landlock refuses commands unless the configuration accepts that.
"""
import ctypes
import json
import unittest

from tests.blackbox.harness import Instance, json_error

PERMISSIVE = {"policy.conf": "[config]\nprofile=2\n", "agents": "coder:agent-secret-token-1\n"}
AUDIT = "/var/log/cindervox/audit.log"


def kernel_landlock_abi():
    libc = ctypes.CDLL(None, use_errno=True)
    abi = libc.syscall(444, None, 0, 1)
    return abi if abi > 0 else 0


class LandlockCases:
    mode = None
    inst = None

    @classmethod
    def setUpClass(cls):
        if kernel_landlock_abi() < 6:
            raise unittest.SkipTest("this kernel has no Landlock scopes (ABI 6)")
        # The log directory is open to the server's uid, so the audit goes to its file.
        cls.inst = Instance(mode=cls.mode, files=PERMISSIVE, log_mode=0o777)

    @classmethod
    def tearDownClass(cls):
        if cls.inst:
            cls.inst.cleanup()

    def run_cmd(self, cmd, agent="alpha"):
        r = self.inst.exec(cmd, agent=agent)
        self.assertEqual(r.status, 200, r.raw[:300])
        return r.json()

    def test_health_banner_and_check_name_the_layers(self):
        health = self.inst.get("/api/health").json()
        self.assertEqual(health["landlock"], kernel_landlock_abi())
        self.assertIn("landlock", health["layers"])
        self.assertEqual(health["layers"][-2:], ["landlock", "seccomp"])
        self.assertIn("Layers: ", self.inst.console())
        self.assertIn("landlock seccomp", self.inst.console())
        self.assertIn("[Cindervox] Landlock ABI %d ACTIVE" % kernel_landlock_abi(), self.inst.console())

    def test_server_files_stay_closed(self):
        self.run_cmd("true")
        with open(self.inst.path("log", "audit.log"), "rb") as f:
            before = f.read()
        self.assertGreater(len(before), 0)
        # Subshells: a failed redirection of ":" would end the shell itself.
        out = self.run_cmd("e=/etc; cat $e/cindervox/agents; echo rc=$?; (: > %s); echo rc=$?; "
                           "(echo forged >> %s); echo rc=$?" % (AUDIT, AUDIT))
        self.assertNotIn("agent-secret-token-1", out["stdout"])
        self.assertEqual(out["stdout"].count("rc=1\n") + out["stdout"].count("rc=2\n"), 3, out)
        with open(self.inst.path("log", "audit.log"), "rb") as f:
            after = f.read()
        self.assertTrue(after.startswith(before))
        self.assertNotIn(b"\nforged\n", after)  # the audit entry quotes the command itself

    def test_server_cannot_be_signalled(self):
        pid = self.inst.server_pid()
        out = self.run_cmd("kill -0 %d; echo rc=$?; python3 -c 'import os; os.kill(%d, 0)'; echo rc=$?" % (pid, pid))
        self.assertEqual(out["stdout"].count("rc=1\n"), 2, out)
        self.assertTrue(self.inst.alive())

    def test_ordinary_work_goes_on_in_the_workspace(self):
        out = self.run_cmd("ls /usr >/dev/null && python3 -c 'print(6 * 7)' && echo data > own.txt && cat own.txt "
                           "&& mktemp > name && read t < name && echo tmp > $t && cat $t && echo quiet > /dev/null && head -c 4 /dev/urandom | wc -c")
        self.assertEqual(out["stdout"], "42\ndata\ntmp\n4\n", out)
        self.assertEqual(out["exit_code"], 0)
        r = self.inst.post("/api/write", json.dumps({"path": "/tmp/given.txt", "content": "given\n"}),
                           headers={"X-Agent": "alpha"})
        self.assertEqual(r.status, 200, r.raw)
        self.assertEqual(self.run_cmd("cat given.txt")["stdout"], "given\n")
        r = self.inst.post("/api/read", json.dumps({"path": "/tmp/own.txt"}), headers={"X-Agent": "alpha"})
        self.assertEqual(r.json()["content"], "data\n")

    def test_another_agents_files_stay_closed(self):
        home = self.run_cmd("echo secret-of-a > mine.txt; pwd", agent="owner-a")["stdout"].strip()
        out = self.run_cmd("cat %s/mine.txt; echo rc=$?; ls %s; echo rc=$?" % (home, home), agent="other-b")
        self.assertNotIn("secret-of-a", out["stdout"])
        self.assertTrue(out["stderr"].startswith("cat: "), out)
        self.assertNotRegex(out["stdout"], r"(?m)^mine\.txt$")
        r = self.inst.post("/api/read", json.dumps({"path": "/tmp/mine.txt"}), headers={"X-Agent": "other-b"})
        self.assertEqual(r.status, 404)


class PlainLandlock(LandlockCases, unittest.TestCase):
    mode = "plain"

    def test_workspace_is_a_directory_of_the_agent_with_home_and_tmpdir(self):
        out = self.run_cmd("pwd; echo $HOME $TMPDIR; (echo x > /tmp/outside); echo rc=$?; ls /; echo rc=$?")
        lines = out["stdout"].splitlines()
        self.assertRegex(lines[0], r"^/tmp/cindervox-ws/\d+$")
        self.assertEqual(lines[1], "%s %s" % (lines[0], lines[0]))
        self.assertEqual(out["stdout"].count("rc=2\n") + out["stdout"].count("rc=1\n"), 2, out)
        self.assertFalse(__import__("os").path.exists(self.inst.path("tmp", "outside")))

    def test_reset_empties_the_workspace(self):
        self.run_cmd("mkdir -p a/b/c && echo x > a/b/c/f && ln -s / a/root", agent="resetter")
        self.assertEqual(self.inst.request("DELETE", "/api/sandbox").status, 200)
        self.assertEqual(self.run_cmd("ls -A", agent="resetter")["stdout"], "")

    def test_process_limit_holds_under_the_shared_uid(self):
        # The strict profile allows 16 processes more than the uid ran when the run began; a
        # uid of its own keeps other servers' processes out of the count. Without the
        # limit all 40 forks would succeed.
        strict = Instance(mode="plain", uid=64997)
        self.addCleanup(strict.cleanup)
        out = strict.exec("python3 -c 'import os, time\nn = 0\nfor i in range(40):\n"
                          "    try:\n        if os.fork() == 0:\n            time.sleep(3); os._exit(0)\n"
                          "        n += 1\n    except OSError:\n        break\nprint(n)'", agent="forker").json()
        self.assertIn(int(out["stdout"].strip() or 99), range(1, 16), out)


class RootlessLandlock(LandlockCases, unittest.TestCase):
    mode = "basic"


class KernelLandlock(LandlockCases, unittest.TestCase):
    mode = "kernel"


class WithoutNamespacesOrLandlock(unittest.TestCase):
    def test_commands_are_refused_unless_the_configuration_allows_them(self):
        with Instance(mode="plain", without_landlock=True) as inst:
            r = inst.exec("echo hi", agent="a")
            self.assertEqual(r.raw, json_error(503, "Service Unavailable", "commands cannot be confined on this host"))
            self.assertEqual(inst.get("/api/health").json()["landlock"], 0)
            self.assertIn("commands cannot be confined on this host", inst.console())
        with Instance(mode="plain", without_landlock=True, files={"config": "allow_unconfined=yes\n"}) as inst:
            self.assertEqual(inst.exec("echo hi", agent="a").json()["stdout"], "hi\n")
            self.assertEqual(inst.get("/api/health").json()["layers"], ["rlimits", "seccomp"])


if __name__ == "__main__":
    unittest.main()
