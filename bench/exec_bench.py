"""Exec benchmark: paced round trips of POST /api/exec with `echo hi` against a server in
plain basic isolation (no user namespaces), basic isolation with rootless namespaces and
the jail, and kernel isolation, each next to the bare spawn cost (fork, exec of /bin/sh -c
'echo hi', output through a pipe, wait) measured in the same rounds; and bubblewrap running
the same command with comparable isolation, when it is installed."""
import os
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from tests.blackbox.harness import DEFAULT_AUTH, ROOT, BUILD, Instance  # noqa: E402

PROBE = os.path.join(ROOT, BUILD, "bench", "exec_bench")
RATE = "15"  # rounds per second, under the server's limit of 20 requests per second

# Read-only binds of the same system trees as the server's jail, a fresh /tmp, and new
# network, PID and IPC namespaces; all capabilities dropped.
BWRAP = ["--ro-bind", "/usr/bin", "/bin", "--ro-bind", "/usr/bin", "/usr/bin",
         "--ro-bind", "/usr/lib", "/usr/lib", "--ro-bind", "/usr/lib", "/lib",
         "--ro-bind", "/usr/lib64", "/lib64", "--tmpfs", "/tmp", "--dir", "/dev",
         "--chdir", "/tmp", "--unshare-net", "--unshare-pid", "--unshare-ipc",
         "--new-session", "--die-with-parent", "--cap-drop", "ALL",
         "/bin/sh", "-c", "echo hi"]


def parse(out):
    rows = {}
    for line in out.splitlines():
        name, median, p95, count = line.split()
        rows[name] = (float(median), float(p95), int(count))
    return rows


def probe(args, netns_pid=None):
    cmd = [PROBE] + args
    if netns_pid is not None:
        cmd = ["nsenter", "--net=/proc/%d/ns/net" % netns_pid] + cmd
    return parse(subprocess.run(cmd, check=True, capture_output=True, text=True).stdout)


# The strict profile with echo whitelisted, and a per-agent rate limit above the rounds of
# one run (the default, 120 a minute, would refuse every round after the 120th).
POLICY = "[config]\nprofile=0\nmax_rate_per_agent=1000000\n\n[whitelist]\necho\n"


def server_rows(mode, rounds):
    with Instance(mode=mode, files={"policy.conf": POLICY}) as srv:
        body = b'{"cmd":"echo hi"}'
        request = (b"POST /api/exec HTTP/1.1\r\nHost: localhost\r\nAuthorization: " + DEFAULT_AUTH.encode() +
                   b"\r\nContent-Type: application/json\r\nContent-Length: %d\r\n\r\n" % len(body) + body)
        path = srv.path("exec_request")
        with open(path, "wb") as f:
            f.write(request)
        return probe([rounds, RATE, "http", str(srv.port), path], srv.proc.pid)


def main():
    rounds = os.environ.get("EXEC_BENCH_ROUNDS", "300")
    results = [("plain basic  /api/exec", server_rows("plain", rounds)),
               ("rootless     /api/exec", server_rows("basic", rounds)),
               ("kernel       /api/exec", server_rows("kernel", rounds))]
    bwrap = shutil.which("bwrap")
    if bwrap:
        results.append(("bwrap  sh -c 'echo hi'", probe([rounds, RATE, "spawn", bwrap] + BWRAP)))
    print("\n%-24s %10s %10s %12s %10s %7s %7s" %
          ("exec round trip", "median us", "p95 us", "bare median", "bare p95", "ratio", "n"))
    for name, rows in results:
        t, b = rows["target"], rows["bare"]
        print("%-24s %10.1f %10.1f %12.1f %10.1f %7.2f %7d" % (name, t[0], t[1], b[0], b[1], t[0] / b[0], t[2]))
    if not bwrap:
        print("bwrap: not installed (apt-get install -y bubblewrap adds the comparison row)")


if __name__ == "__main__":
    main()
