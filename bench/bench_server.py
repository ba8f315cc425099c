"""Foundation benchmark: binary sizes, paced round trips of OPTIONS and GET /api/health
against the floor server in the same run, and resident memory before and after."""
import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from tests.blackbox.harness import DEFAULT_AUTH, ROOT, BUILD, Instance  # noqa: E402

TOOLS = os.path.join(ROOT, BUILD, "bench")


def stripped_size(name):
    path = os.path.join(ROOT, BUILD, name)
    if not os.path.exists(path):
        return None
    with tempfile.NamedTemporaryFile() as t:
        subprocess.run(["strip", "-o", t.name, path], check=True)
        return os.path.getsize(t.name)


def rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return -1


def main():
    rounds = int(os.environ.get("BENCH_ROUNDS", "1000"))
    for name in ("sandbox-server", "fleet-dashboard"):
        size = stripped_size(name)
        if size is not None:
            print("%-16s stripped %6d bytes (%.1f KiB)" % (name, size, size / 1024))
    with Instance(mode="basic") as srv:
        pid = srv.proc.pid
        srv.get("/api/health")
        rss_before = rss_kib(pid)
        work = srv.path("bench")
        os.makedirs(work)
        reqs = {
            "options": b"OPTIONS /api/health HTTP/1.1\r\nHost: localhost\r\n\r\n",
            "health": ("GET /api/health HTTP/1.1\r\nHost: localhost\r\nAuthorization: %s\r\n\r\n" % DEFAULT_AUTH).encode(),
        }
        for k, v in reqs.items():
            with open(os.path.join(work, k), "wb") as f:
                f.write(v)
        netns = "--net=/proc/%d/ns/net" % pid
        floor = subprocess.Popen(["nsenter", netns, os.path.join(TOOLS, "floor_server"), "9999"])
        try:
            out = subprocess.run(
                ["nsenter", netns, os.path.join(TOOLS, "http_probe"), str(rounds), "9",
                 "server-options:7575:" + os.path.join(work, "options"),
                 "server-health:7575:" + os.path.join(work, "health"),
                 "floor-options:9999:" + os.path.join(work, "options"),
                 "floor-health:9999:" + os.path.join(work, "health")],
                check=True, capture_output=True, text=True).stdout
        finally:
            floor.kill()
            floor.wait()
        rss_after = rss_kib(pid)
        rows = {}
        for line in out.split("\n"):
            if line.strip():
                name, med, p99, lo, hi, n = line.split()
                rows[name] = (float(med), float(p99), int(n))
        print("\n%-16s %10s %10s %6s" % ("target", "median us", "p99 us", "count"))
        for name, (med, p99, n) in rows.items():
            print("%-16s %10.1f %10.1f %6d" % (name, med, p99, n))
        for kind in ("options", "health"):
            s, f = rows.get("server-" + kind), rows.get("floor-" + kind)
            if s and f:
                print("ratio %-8s median %.2f  p99 %.2f" % (kind, s[0] / f[0], s[1] / f[1]))
        print("\nresident memory: %d KiB after start, %d KiB after %d requests" %
              (rss_before, rss_after, 2 * rounds + 1))


if __name__ == "__main__":
    main()
