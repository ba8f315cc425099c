"""Installation and the service units: `make install` into a staging root puts exactly the
expected files in place (examples never over an operator's own), `make uninstall` takes
them away again, systemd accepts the units, and the kernel-isolation unit's capability
bounding set is both enough and no more than the server needs."""
import json
import os
import re
import shutil
import subprocess
import tempfile
import unittest

from tests.blackbox import harness

ROOT = harness.ROOT
UNITS = ("sandbox-server.service", "sandbox-server-unprivileged.service", "fleet-dashboard.service")
INSTALLED = {
    "usr/local/bin/sandbox-server": 0o755,
    "usr/local/bin/fleet-dashboard": 0o755,
    "usr/local/share/doc/cindervox/README.md": 0o644,
    "usr/local/share/doc/cindervox/deploy.md": 0o644,
    "usr/local/share/doc/cindervox/examples/haproxy.cfg": 0o644,
    "usr/local/share/doc/cindervox/examples/prometheus/prometheus.yml": 0o644,
    "usr/local/share/doc/cindervox/examples/prometheus/cindervox-alerts.yml": 0o644,
    "usr/local/share/doc/cindervox/examples/config": 0o600,
    "usr/local/share/doc/cindervox/examples/fleet": 0o600,
    "usr/local/share/doc/cindervox/examples/agents": 0o600,
    "usr/local/lib/systemd/system/sandbox-server.service": 0o644,
    "usr/local/lib/systemd/system/sandbox-server-unprivileged.service": 0o644,
    "usr/local/lib/systemd/system/fleet-dashboard.service": 0o644,
    "usr/local/lib/sysusers.d/cindervox.conf": 0o644,
    "usr/local/lib/tmpfiles.d/cindervox.conf": 0o644,
    "etc/cindervox/config": 0o600,
    "etc/cindervox/fleet": 0o600,
    "etc/cindervox/agents": 0o600,
}


def make(target, destdir, *more):
    return subprocess.run(["make", "-s", "-C", ROOT, "BUILD=" + harness.BUILD, target,
                           "DESTDIR=" + destdir] + list(more),
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=300)


def files_under(root):
    found = {}
    for base, _, names in os.walk(root):
        for name in names:
            path = os.path.join(base, name)
            found[os.path.relpath(path, root)] = os.stat(path).st_mode & 0o7777
    return found


def unit_setting(unit, key):
    with open(os.path.join(ROOT, "deploy", "systemd", unit)) as f:
        return [line.split("=", 1)[1].strip() for line in f if line.startswith(key + "=")]


class InstallTree(unittest.TestCase):
    def setUp(self):
        self.dest = tempfile.mkdtemp(prefix="cvx-install-")

    def tearDown(self):
        shutil.rmtree(self.dest, ignore_errors=True)

    def test_install_puts_exactly_the_files_and_uninstall_takes_them_away(self):
        result = make("install", self.dest)
        self.assertEqual(result.returncode, 0, result.stdout.decode())
        self.assertEqual(files_under(self.dest), INSTALLED)
        for name in ("sandbox-server", "fleet-dashboard"):
            with open(os.path.join(self.dest, "usr/local/bin", name), "rb") as a, \
                    open(harness.binary(name), "rb") as b:
                self.assertEqual(a.read(), b.read())
        with open(os.path.join(self.dest, "usr/local/lib/systemd/system/sandbox-server.service")) as f:
            unit = f.read()
        self.assertIn("ExecStart=/usr/local/bin/sandbox-server\n", unit)
        self.assertNotIn("@", unit.replace("%d", ""))
        result = make("uninstall", self.dest)
        self.assertEqual(result.returncode, 0, result.stdout.decode())
        self.assertEqual(files_under(self.dest), {})
        self.assertFalse(os.path.exists(os.path.join(self.dest, "etc/cindervox")))

    def test_operator_files_survive_install_and_uninstall(self):
        etc = os.path.join(self.dest, "etc/cindervox")
        os.makedirs(etc)
        with open(os.path.join(etc, "config"), "w") as f:
            f.write("port=9000\nops:secret\n")
        self.assertEqual(make("install", self.dest).returncode, 0)
        with open(os.path.join(etc, "config")) as f:
            self.assertEqual(f.read(), "port=9000\nops:secret\n")
        # An example the operator edited after installing is kept too.
        with open(os.path.join(etc, "fleet"), "a") as f:
            f.write("east http://10.1.0.2:7575\n")
        self.assertEqual(make("uninstall", self.dest).returncode, 0)
        self.assertEqual(sorted(files_under(self.dest)), ["etc/cindervox/config", "etc/cindervox/fleet"])

    def test_prefix_moves_binaries_and_units_and_the_units_follow(self):
        self.assertEqual(make("install", self.dest, "PREFIX=/opt/cvx").returncode, 0)
        found = files_under(self.dest)
        self.assertIn("opt/cvx/bin/sandbox-server", found)
        with open(os.path.join(self.dest, "opt/cvx/lib/systemd/system/fleet-dashboard.service")) as f:
            self.assertIn("ExecStart=/opt/cvx/bin/fleet-dashboard\n", f.read())
        self.assertEqual(make("uninstall", self.dest, "PREFIX=/opt/cvx").returncode, 0)
        self.assertEqual(files_under(self.dest), {})


class ServiceUnits(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not shutil.which("systemd-analyze"):
            raise unittest.SkipTest("systemd-analyze missing: run tests/install_deps.sh")
        # Installed under a prefix of its own rather than a staging root, so the units'
        # programs exist where the units say while systemd's own units stay in reach.
        cls.dest = tempfile.mkdtemp(prefix="cvx-units-")
        result = make("install", "", "PREFIX=" + cls.dest + "/usr/local",
                      "CONFDIR=" + cls.dest + "/etc/cindervox", "CREATE_USER=no")
        assert result.returncode == 0, result.stdout.decode()

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dest, ignore_errors=True)

    def test_systemd_accepts_every_unit_without_a_word(self):
        unit_dir = os.path.join(self.dest, "usr/local/lib/systemd/system")
        for unit in UNITS:
            with self.subTest(unit):
                path = os.path.join(unit_dir, unit)
                with open(path) as f:
                    self.assertIn("ExecStart=" + self.dest + "/usr/local/bin/", f.read())
                result = subprocess.run(["systemd-analyze", "verify", path],
                                        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=60)
                self.assertEqual(result.returncode, 0, result.stdout.decode())
                self.assertEqual(result.stdout.decode(), "")

    def test_capability_names_are_real(self):
        # systemd ignores an unknown name without a word, so each is checked here.
        for unit in UNITS:
            for value in unit_setting(unit, "CapabilityBoundingSet"):
                for cap in value.split():
                    with self.subTest(unit=unit, cap=cap):
                        result = subprocess.run(["capsh", "--supports=" + cap.lower()],
                                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
                        self.assertEqual(result.returncode, 0, result.stdout.decode())

    def test_units_hold_their_promises(self):
        with open(os.path.join(ROOT, "deploy/systemd/sandbox-server.service")) as f:
            root = dict(line.split("=", 1) for line in f.read().splitlines() if re.match(r"^[A-Z]\w*=", line))
        self.assertEqual(root["NoNewPrivileges"], "yes")
        self.assertEqual(root["ProtectSystem"], "strict")
        self.assertEqual(root["ProtectHome"], "yes")
        self.assertEqual(root["Restart"], "on-failure")
        self.assertNotIn("User", root)
        user = unit_setting("sandbox-server-unprivileged.service", "User")
        self.assertEqual(user, ["cindervox"])
        self.assertEqual(unit_setting("sandbox-server-unprivileged.service", "CapabilityBoundingSet"), [""])
        self.assertEqual(unit_setting("fleet-dashboard.service", "DynamicUser"), ["yes"])
        self.assertEqual(unit_setting("fleet-dashboard.service", "CapabilityBoundingSet"), [""])


def kernel_unit_caps():
    (value,) = unit_setting("sandbox-server.service", "CapabilityBoundingSet")
    return [c.lower().replace("cap_", "") for c in value.split()]


def start_with_bounding_set(caps, wait=True):
    """A server started as root under exactly these capabilities (and no-new-privileges,
    as the unit has it); once listening, with the permissive profile."""
    bset = "-all" + "".join(",+" + c for c in caps)
    inst = harness.Instance(launch="setpriv --inh-caps=-all --no-new-privs --bounding-set=" + bset,
                            wait_for_port=wait)
    if wait:
        inst.post("/api/profile", json.dumps({"profile": 2}))
    return inst


class KernelUnitCapabilities(unittest.TestCase):
    """The bounding set of the root unit, measured against the real server."""

    def test_the_units_set_runs_commands_in_kernel_isolation(self):
        with start_with_bounding_set(kernel_unit_caps()) as inst:
            self.assertEqual(inst.get("/api/health").json()["isolation"], "kernel")
            run = inst.exec("id -u; id -g; ls /").json()
            self.assertEqual(run["exit_code"], 0, run)
            uid, gid, listing = run["stdout"].split("\n", 2)
            self.assertNotEqual(uid, "0")
            self.assertNotEqual(gid, "0")
            self.assertNotIn("var", listing.split())  # the jail, not the host's root
            inst.post("/api/config", json.dumps({"timeout": 1000}))
            self.assertEqual(inst.exec("sleep 5").json()["exit_code"], 137)
            self.assertEqual(inst.exec("echo after").json()["stdout"], "after\n")

    def test_the_preflight_check_passes_under_the_units_set(self):
        bset = "-all" + "".join(",+" + c for c in kernel_unit_caps())
        with harness.Instance(launch="setpriv --inh-caps=-all --no-new-privs --bounding-set=" + bset,
                              args=["--check"], wait_for_port=False) as inst:
            self.assertEqual(inst.proc.wait(timeout=60), 0, inst.console())
            self.assertIn("result: kernel isolation can be confined as documented", inst.console())

    def test_every_capability_of_the_set_is_needed(self):
        # Without any one of them the server finds at start-up that it cannot confine
        # commands, says which step failed, and does not start.
        caps = kernel_unit_caps()
        for cap in caps:
            with self.subTest(without=cap), \
                    start_with_bounding_set([c for c in caps if c != cap], wait=False) as inst:
                self.assertTrue(inst.wait_console("Not starting.", timeout=10), inst.console())
                inst.proc.wait(timeout=10)
                self.assertNotEqual(inst.proc.returncode, 0)
                self.assertIn("cannot confine commands", inst.console())
                self.assertIn("EPERM", inst.console())


if __name__ == "__main__":
    unittest.main()


class FirstRun(unittest.TestCase):
    """What `make run` needs on a fresh machine: the check of the build tools names what is
    missing and the one command that installs it, and arguments reach the server."""

    def tools_path(self, leave_out):
        bin_dir = tempfile.mkdtemp(prefix="cvx-path-")
        self.addCleanup(shutil.rmtree, bin_dir)
        os.chmod(bin_dir, 0o755)
        for tool in ("sh", "sed", "id", "c++", "cmake", "ninja", "python3"):
            found = shutil.which(tool)
            if tool != leave_out and found:
                # The real file, so a shim only its owner may run does not stand in for it.
                real = "/usr/bin/python3" if tool == "python3" and os.path.exists("/usr/bin/python3") \
                    else os.path.realpath(found)
                os.symlink(real, os.path.join(bin_dir, tool))
        return bin_dir

    def check(self, path):
        # Not as root: as root the check installs what is missing instead of naming it.
        return subprocess.run(["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                               "env", "-i", "PATH=" + path, "sh", os.path.join(ROOT, "tools", "build_deps.sh")],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, timeout=60)

    def test_build_tools_check(self):
        done = self.check(self.tools_path(leave_out=None))
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(done.stderr, "")

        done = self.check(self.tools_path(leave_out="ninja"))
        self.assertEqual(done.returncode, 1)
        self.assertIn("the build needs ninja-build", done.stderr)
        self.assertIn("sudo apt-get install ninja-build\n", done.stderr)

    def test_run_passes_arguments(self):
        done = subprocess.run(["make", "-s", "-C", ROOT, "BUILD=" + harness.BUILD, "run", "ARGS=--version"],
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=300)
        self.assertEqual(done.returncode, 0, done.stdout)
        self.assertRegex(done.stdout, r"sandbox-server \d+\.\d+")
