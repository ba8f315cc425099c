"""Operating the server: its command line, the --check preflight, the refusal to start in
kernel mode without confinement, and the console lines that record every change."""
import re
import unittest

from tests.blackbox.harness import Instance

CHECK_ITEMS = ("root", "user namespaces", "PID namespaces", "mount namespaces", "network namespaces",
               "IPC namespaces", "seccomp with kill-process", "/etc entries in the jail",
               "per-run memory and process groups")
# Makes the jail's base unusable: an empty read-only file system where it would be made.
NO_JAIL_BASE = "mount -t tmpfs -o ro tmpfs /var/terox"
# Leaves the jail intact but gives every run a /bin/sh that cannot be executed.
NO_SHELL = "mount --bind /dev/null /usr/bin/dash"


def finished(mode="kernel", args=(), **kw):
    """Runs the program to its end; returns (exit status, console)."""
    inst = Instance(mode=mode, args=args, wait_for_port=False, **kw)
    try:
        status = inst.wait_exit()
        return status, inst.console()
    finally:
        inst.cleanup()


def check_lines(console):
    return dict(line[len("[Cindervox] check: "):].split(": ", 1)
                for line in console.splitlines() if line.startswith("[Cindervox] check: "))


class CommandLineTest(unittest.TestCase):
    def test_version_and_help_print_and_exit(self):
        status, out = finished(args=("--version",))
        self.assertEqual((status, out), (0, "sandbox-server 1.0.6\n"))
        status, out = finished(args=("--help",))
        self.assertEqual(status, 0)
        self.assertTrue(out.startswith("Usage: sandbox-server [--port N] [--check]\n"), out)
        self.assertIn("--check", out)

    def test_bad_arguments_are_refused_with_usage(self):
        for args, why in ((("--bogus",), "unknown argument: --bogus"), (("--port",), "--port needs a number"),
                          (("--port", "0"), "from 1 to 65535: 0"), (("--port", "65536"), "65536"),
                          (("--port", "80x"), "80x"), (("--version", "--help"), "only one of"),
                          (("--port", "8080", "--version"), "--port goes with")):
            status, out = finished(mode="basic", args=args)
            self.assertEqual(status, 2, args)
            self.assertIn(why, out, args)
            self.assertIn("Usage: sandbox-server", out, args)
            self.assertNotIn("Listening", out, args)

    def test_port_argument_overrides_configuration_file(self):
        with Instance(mode="basic", port=9191, args=("--port", "9191"),
                      files={"config": "port=8080\n"}) as srv:
            self.assertIn("[Cindervox] Listening on port 9191...\n", srv.console())
            self.assertEqual(srv.get("/api/health").status, 200)
        with Instance(mode="basic", port=9192, args=("--port=9192",)) as srv:
            self.assertEqual(srv.get("/api/health").status, 200)


class PreflightTest(unittest.TestCase):
    def test_kernel_mode_check_passes_here(self):
        status, out = finished(args=("--check",))
        lines = check_lines(out)
        self.assertEqual(status, 0, out)
        self.assertEqual(lines["/etc/cindervox writable"], "yes (settings changes are saved)")
        for item in CHECK_ITEMS:
            self.assertIn(item, lines, out)
        self.assertTrue(lines["root"].startswith("yes"), out)
        self.assertEqual(lines["jail bind /usr -> /var/terox/jail/root/usr"], "read-only")
        self.assertEqual(lines["/etc entries in the jail"], "passwd group hosts nsswitch.conf resolv.conf")
        self.assertEqual(lines["per-run memory and process groups"], "cgroup v1 memory (with swap) and pids controllers")
        self.assertEqual(lines["test run of /bin/sh -c true (namespaces, jail, limits, seccomp)"], "passed")
        self.assertEqual(lines["result"], "kernel isolation can be confined as documented")
        # The check's binds stayed in its own mount namespace.
        self.assertNotIn("Listening", out)

    def test_basic_mode_check_passes_here(self):
        status, out = finished(mode="basic", args=("--check",))
        lines = check_lines(out)
        self.assertEqual(status, 0, out)
        self.assertTrue(lines["root"].startswith("no"), out)
        self.assertEqual(lines["PID namespaces"], "available inside a user namespace")
        self.assertEqual(lines["rootless namespaces and jail"], "done (in a mount namespace of the check's own)")
        self.assertNotIn("jail bind /usr -> /var/terox/jail/root/usr", lines)
        self.assertEqual(lines["test run of /bin/sh -c true (namespaces, jail, limits, seccomp)"], "passed")
        self.assertEqual(lines["result"], "basic isolation with rootless namespaces can be confined as documented")

    # Settings that cannot be saved are a warning, not a failure: confinement stands.
    def test_check_warns_when_settings_cannot_be_saved(self):
        status, out = finished(args=("--check",), extra_setup="mount -o remount,bind,ro /etc/cindervox")
        self.assertEqual(status, 0, out)
        self.assertEqual(check_lines(out)["/etc/cindervox writable"],
                         'WARNING: no (EROFS): settings changes answer "persisted":false and last until the server stops')
        status, out = finished(mode="basic", args=("--check",))
        self.assertEqual(status, 0, out)
        self.assertTrue(check_lines(out)["/etc/cindervox writable"].startswith("WARNING: no (EACCES)"), out)

    def test_check_fails_when_the_jail_cannot_hold_commands(self):
        status, out = finished(args=("--check",), extra_setup=NO_SHELL)
        lines = check_lines(out)
        self.assertEqual(status, 1, out)
        self.assertEqual("FAILED (execve /bin/sh failed: EACCES)",
                         lines["test run of /bin/sh -c true (namespaces, jail, limits, seccomp)"])
        self.assertEqual(lines["result"], "kernel isolation CANNOT be confined as documented")
        status, out = finished(args=("--check",), extra_setup=NO_JAIL_BASE)
        self.assertEqual(status, 1, out)
        self.assertEqual(check_lines(out)["jail set-up"], "FAILED (tmpfs /var/terox/jail: ENOENT)")


class KernelModeRefusalTest(unittest.TestCase):
    def assert_refused(self, extra_setup, reason):
        status, out = finished(extra_setup=extra_setup)
        self.assertEqual(status, 1, out)
        self.assertIn("[Cindervox] ERROR: kernel isolation cannot confine commands: %s\n" % reason, out)
        self.assertNotIn("Kernel isolation ACTIVE", out)
        self.assertNotIn("Listening", out)

    def test_failed_jail_set_up_stops_start_up(self):
        self.assert_refused(NO_JAIL_BASE, "tmpfs /var/terox/jail failed: ENOENT")

    def test_failed_test_run_stops_start_up(self):
        self.assert_refused(NO_SHELL, "execve /bin/sh failed: EACCES")

    def test_basic_mode_starts_without_jail(self):
        with Instance(mode="plain", extra_setup=NO_JAIL_BASE) as srv:
            self.assertEqual(srv.exec("echo ok").json()["stdout"], "ok\n")
            self.assertEqual(srv.get("/api/health").json()["namespaces"], False)
            self.assertIn("[Cindervox] Rootless namespaces unavailable, commands share the server's view: "
                          "own user and mount namespaces / failed: ENOSPC\n", srv.console())
            self.assertIn("║  Isolation: BASIC (blacklist + rlimits)       ║\n", srv.console())


CHANGE = re.compile(r"^\[Cindervox\] (\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ) (admin|agent \S+) (.*)$")


class ChangeLinesTest(unittest.TestCase):
    def test_every_change_leaves_one_timed_line_naming_who(self):
        # The server's user may write /etc/cindervox, so the policy file it saves can be reloaded.
        with Instance(mode="basic", etc_mode=0o777) as srv:
            before = len(srv.console().splitlines())
            steps = [
                ("/api/profile", '{"profile":2}', "set the profile to permissive"),
                ("/api/policy", '{"action":"add_bl","rule":"nc -lvp"}', 'added the blacklist rule "nc -lvp"'),
                ("/api/policy", '{"action":"rm_bl","rule":"nc -lvp"}', 'removed the blacklist rule "nc -lvp"'),
                ("/api/config", '{"rate_limit":42}', "set the rate limit to 42 runs per minute per agent"),
                ("/api/config", '{"timeout":7000}', "set the command time-out to 7000 ms"),
                ("/api/budget", '{"default":5000}', "set the default token budget to 5000 tokens"),
                ("/api/budget", '{"agent":"bot-1","max_tokens":300}',
                 'set the token budget of agent "bot-1" to 300 tokens'),
                ("/api/policy/reload", "", "reloaded the policy file: profile permissive, "
                 "%d blacklist and %d whitelist rules, rate limit 42"),
                ("/api/config", '{"username":"ops","password":"longenough1"}',
                 'changed the admin credentials; the user is now "ops"'),
            ]
            for path, body, _ in steps:
                self.assertEqual(srv.post(path, body).status, 200, path)
            policy = srv.get("/api/policy", auth="Basic b3BzOmxvbmdlbm91Z2gx").json()  # ops:longenough1
            self.assertEqual(srv.request("DELETE", "/api/agents/bot-1", auth="Basic b3BzOmxvbmdlbm91Z2gx").status, 200)
            self.assertEqual(srv.request("DELETE", "/api/sandbox", auth="Basic b3BzOmxvbmdlbm91Z2gx").status, 200)
            wanted = [text for _, _, text in steps] + ['reset agent "bot-1": workspace, counters and 0 runs',
                                                       "reset the sandbox: counters, agents and the audit ring"]
            wanted[7] = wanted[7] % (policy["blacklist_count"], policy["whitelist_count"])
            # Other lines (the reload's own message) may stand between the change lines.
            changes = [CHANGE.match(line) for line in srv.console().splitlines()[before:]]
            changes = [m for m in changes if m]
            self.assertEqual([m.group(3) for m in changes], wanted)
            self.assertEqual({m.group(2) for m in changes}, {"admin"})
            # The password never reaches the console.
            self.assertNotIn("longenough1", srv.console())

    def test_refused_changes_leave_no_line(self):
        with Instance(mode="basic") as srv:
            before = srv.console()
            self.assertEqual(srv.post("/api/profile", "{}").status, 400)
            self.assertEqual(srv.post("/api/policy", '{"action":"rm_bl","rule":"not-there"}').status, 400)
            self.assertEqual(srv.post("/api/config", '{"rate_limit":0}').status, 400)
            self.assertEqual(srv.post("/api/policy/reload", "").status, 404)
            self.assertEqual(srv.console(), before)


if __name__ == "__main__":
    unittest.main()
