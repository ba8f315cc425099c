"""The server stays small: stripped of its symbols, sandbox-server (the admin page embedded
in it) is under 256 KiB."""
import os
import shutil
import subprocess
import tempfile
import unittest

from tests.blackbox.harness import binary

LIMIT = 256 * 1024


class BinarySizeTest(unittest.TestCase):
    def test_the_stripped_server_is_under_256_kib(self):
        strip = shutil.which("strip")
        self.assertIsNotNone(strip, "strip (binutils) is needed to measure the program")
        with tempfile.TemporaryDirectory() as tmp:
            out = os.path.join(tmp, "sandbox-server")
            subprocess.run([strip, "-o", out, binary("sandbox-server")], check=True)
            size = os.path.getsize(out)
        self.assertLess(size, LIMIT, "stripped sandbox-server is %d bytes" % size)


if __name__ == "__main__":
    unittest.main()
