"""One coding agent's ordinary session through the Python client, in kernel and rootless
isolation: a package with a failing unit test is written, run, read, fixed and run again;
the work is committed with git; C is compiled against the maths library; node and pip run;
a binary file makes the round trip through base64 unchanged; and an error printed after 3 MB
on standard error is in the answer."""
import hashlib
import os
import sys
import unittest

from tests.blackbox import harness
from tests.blackbox.test_client_packages import PASSWORD, URL, USER, InNamespace

sys.path.insert(0, os.path.join(harness.ROOT, "clients", "python"))
import cindervox  # noqa: E402

PERMISSIVE = "[config]\nprofile=2\n"
OPS_WITH_BUG = "def add(a, b):\n    return a - b\n"
# The fix is longer than the bug: Python would run the bytecode it cached for a source of
# the same size written in the same second.
OPS_FIXED = "def add(a, b):\n    return a + b  # was a - b\n"
TEST_OPS = ("import unittest\nfrom calc.ops import add\n\n\n"
            "class AddTest(unittest.TestCase):\n"
            "    def test_add(self):\n        self.assertEqual(add(2, 3), 5)\n\n\n"
            "if __name__ == '__main__':\n    unittest.main()\n")
SQRT_C = ('#include <math.h>\n#include <stdio.h>\n'
          'int main(void) { printf("%.6f\\n", sqrt(2.0)); return 0; }\n')


class AgentTaskCases:
    mode = None

    def setUp(self):
        instance = harness.Instance(mode=self.mode, files={"policy.conf": PERMISSIVE})
        self.addCleanup(instance.cleanup)
        namespace = InNamespace(instance)
        namespace.__enter__()
        self.addCleanup(namespace.__exit__)
        self.box = cindervox.Terox(URL, auth=(USER, PASSWORD), agent="coder")

    def test_fix_a_failing_test_and_commit(self):
        box = self.box
        box.write("/tmp/proj/calc/__init__.py", "")
        box.write("/tmp/proj/calc/ops.py", OPS_WITH_BUG)
        box.write("/tmp/proj/test_ops.py", TEST_OPS)
        failing = box.exec("python3 -m unittest -v test_ops", cwd="/tmp/proj")
        self.assertEqual(failing.exit_code, 1, failing)
        self.assertIn("FAIL: test_add", failing.stderr)
        self.assertIn("AssertionError: -1 != 5", failing.stderr)
        self.assertEqual(box.read("/tmp/proj/calc/ops.py").content, OPS_WITH_BUG)
        box.write("/tmp/proj/calc/ops.py", OPS_FIXED)
        passing = box.exec("python3 -m unittest -v test_ops", cwd="/tmp/proj")
        self.assertEqual(passing.exit_code, 0, passing)
        self.assertTrue(passing.stderr.rstrip().endswith("OK"), passing.stderr)
        self.assertEqual(passing.stdout, "")

        commit = box.exec("git init -q && git add -A && git commit -qm 'fix add' && git log --format=%s",
                          cwd="/tmp/proj", env={"GIT_AUTHOR_NAME": "coder", "GIT_AUTHOR_EMAIL": "coder@example.invalid",
                                                "GIT_COMMITTER_NAME": "coder", "GIT_COMMITTER_EMAIL": "coder@example.invalid"})
        self.assertEqual((commit.exit_code, commit.stdout), (0, "fix add\n"), commit)
        names = {entry.name for entry in box.list("/tmp/proj").entries}
        self.assertTrue({".git", "calc", "test_ops.py"} <= names, names)

    def test_toolchains_run(self):
        box = self.box
        box.write("/tmp/sqrt.c", SQRT_C)
        built = box.exec("gcc sqrt.c -o sqrt -lm && ./sqrt")
        self.assertEqual((built.exit_code, built.stdout), (0, "1.414214\n"), built)
        node = box.exec("node -e 'console.log(1)'")
        self.assertEqual((node.exit_code, node.stdout), (0, "1\n"), node)
        pip = box.exec("pip --version")
        self.assertEqual(pip.exit_code, 0, pip)
        self.assertTrue(pip.stdout.startswith("pip "), pip.stdout)

    def test_binary_round_trip_and_long_stderr(self):
        box = self.box
        data = os.urandom(1 << 20)
        self.assertEqual(box.write("/tmp/blob.bin", data).bytes_written, len(data))
        digest = box.exec("sha256sum blob.bin")
        self.assertEqual(digest.stdout.split()[0], hashlib.sha256(data).hexdigest())
        self.assertEqual(box.read_bytes("/tmp/blob.bin"), data)

        noisy = box.exec("head -c 3000000 /dev/zero | tr '\\0' x >&2; echo 'error: the last line' >&2; exit 3")
        self.assertEqual(noisy.exit_code, 3)
        self.assertTrue(noisy.stderr_truncated)
        self.assertEqual(noisy.stderr_bytes, 3000000 + len("error: the last line\n"))
        self.assertTrue(noisy.stderr.endswith("x" * 1000 + "error: the last line\n"), noisy.stderr[-80:])
        self.assertTrue(noisy.stderr.startswith("x" * 1000))
        self.assertFalse(noisy.stdout_truncated)


class KernelAgentTask(AgentTaskCases, unittest.TestCase):
    mode = "kernel"


class RootlessAgentTask(AgentTaskCases, unittest.TestCase):
    mode = "basic"


if __name__ == "__main__":
    unittest.main()
