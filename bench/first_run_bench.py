"""First-run benchmark (not a test): `make run` from a clean clone of this checkout's HEAD,
timed in its two steps: building the two programs (the make target that run depends on)
and the server starting until it serves (in a namespace of its own, as the tests start
it). Also times the whole `make build` (unit tests included) for comparison."""
import os
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from tests.blackbox.harness import ROOT, Instance  # noqa: E402


def timed_make(clone, target):
    start = time.monotonic()
    subprocess.run(["make", "-s", "-C", clone, target], check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return time.monotonic() - start


def main():
    work = tempfile.mkdtemp(prefix="cvx-first-run-")
    try:
        clone = os.path.join(work, "clone")
        subprocess.run(["git", "clone", "-q", ROOT, clone], check=True)
        build_s = timed_make(clone, "programs")
        start = time.monotonic()
        server = Instance(mode="kernel", binary_path=os.path.join(clone, "build", "sandbox-server"))
        serve_s = time.monotonic() - start
        server.stop()
        everything_s = timed_make(clone, "build")
        print("first run, clean clone, %d cores:" % os.cpu_count())
        print("  make run: programs built in %.1f s, server serving %.2f s later" % (build_s, serve_s))
        print("  make build (unit tests included) afterwards: %.1f s more" % everything_s)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
