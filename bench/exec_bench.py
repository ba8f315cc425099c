"""Exec benchmark: paced round trips of POST /api/exec with `echo hi` against a server in
plain basic isolation (no user namespaces), basic isolation with rootless namespaces and
the jail, and kernel isolation, each with its pool of prepared jail inits on
(prepared_runs=2) and off (prepared_runs=0), next to the bare spawn cost (fork, exec of
/bin/sh -c 'echo hi', output through a pipe, wait) measured in the same rounds; and
bubblewrap running the same command with comparable isolation, when it is installed.

The processor time of a run (the server's and that of every child it reaped, per paced
round) stands beside the bare spawn's: it does not depend on how busy the host is.

Then, per mode and pool setting: throughput, runs per second of eight agents sending
`echo hi` at once against eight parallel bare spawns (EXEC_BENCH_SECONDS per phase, three
phases each, alternating); and GET /api/health answered right after a run (while the pool
refills) against the same request after a pause (idle)."""
import os
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from tests.blackbox.harness import DEFAULT_AUTH, ROOT, BUILD, Instance  # noqa: E402

PROBE = os.path.join(ROOT, BUILD, "bench", "exec_bench")
RATE = "15"  # rounds per second, under the server's default limit of 20 requests per second
MODES = (("plain basic", "plain"), ("rootless", "basic"), ("kernel", "kernel"))

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
        fields = line.split()
        rows[fields[0]] = tuple(float(f) for f in fields[1:])
    return rows


def probe(args, netns_pid=None):
    cmd = [PROBE] + args
    if netns_pid is not None:
        cmd = ["nsenter", "--net=/proc/%d/ns/net" % netns_pid] + cmd
    return parse(subprocess.run(cmd, check=True, capture_output=True, text=True).stdout)


# The strict profile with echo whitelisted, and per-agent and per-credential windows above
# what the throughput phases send (the defaults, 120 a minute per agent and 20 a second,
# would refuse most of them).
POLICY = "[config]\nprofile=0\nmax_rate_per_agent=100000\n\n[whitelist]\necho\n"


def request(path, agent=None, body=None):
    method = b"POST /api/exec" if body else b"GET /api/health"
    head = (method + b" HTTP/1.1\r\nHost: localhost\r\nAuthorization: " + DEFAULT_AUTH.encode() + b"\r\n")
    if agent:
        head += b"X-Agent: " + agent.encode() + b"\r\n"
    if body:
        head += b"Content-Type: application/json\r\nContent-Length: %d\r\n" % len(body)
    with open(path, "wb") as f:
        f.write(head + b"\r\n" + (body or b""))
    return path


def cpu_us(pid):
    """Processor time of the server and of every child it has reaped (its runs' inits,
    and through them their shells), in microseconds."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return sum(int(v) for v in fields[11:15]) * 1e6 / os.sysconf("SC_CLK_TCK")


def server_rows(mode, rounds, prepared, seconds):
    config = "prepared_runs=%d\nrequests_per_second=100000\n" % prepared
    with Instance(mode=mode, files={"policy.conf": POLICY, "config": config}) as srv:
        body = b'{"cmd":"echo hi"}'
        one = request(srv.path("exec_request"), "bench", body)
        many = request(srv.path("exec_agents"), "@AGENT@", body)
        health = request(srv.path("health_request"))
        pid = srv.proc.pid
        before = cpu_us(srv.server_pid())
        rows = probe([rounds, RATE, "http", str(srv.port), one], pid)
        rows["target_cpu"] = ((cpu_us(srv.server_pid()) - before) / int(rounds),)
        rows.update(probe([seconds, "8", "throughput", str(srv.port), many], pid))
        health_rows = probe([str(max(20, int(rounds) // 5)), "10", "health", str(srv.port), one, health], pid)
        return rows, health_rows


def main():
    rounds = os.environ.get("EXEC_BENCH_ROUNDS", "300")
    seconds = os.environ.get("EXEC_BENCH_SECONDS", "3")
    # EXEC_BENCH_MODES=kernel,basic measures those modes alone.
    only = os.environ.get("EXEC_BENCH_MODES")
    modes = [m for m in MODES if not only or m[1] in only.split(",")]
    results = []
    for name, mode in modes:
        for prepared in (0, 2):
            results.append(("%-11s %d" % (name, prepared), server_rows(mode, rounds, prepared, seconds)))
    bwrap = shutil.which("bwrap")
    print("\n%-14s %9s %9s %9s %9s %6s %8s %8s %6s %8s %8s %6s %8s %8s %5s" %
          ("exec  prepared", "median us", "p95 us", "bare med", "bare p95", "ratio",
           "cpu us", "bare cpu", "ratio", "runs/s", "bare r/s", "ratio", "health", "idle", "ratio"))
    for name, (rows, health) in results:
        t, b = rows["target"], rows["bare"]
        cpu, bare_cpu = rows["target_cpu"][0], rows["bare_cpu"][0]
        runs, bare_runs = rows["throughput_target"][0], rows["throughput_bare"][0]
        busy, idle = health["busy"][0], health["idle"][0]
        print("%-14s %9.1f %9.1f %9.1f %9.1f %6.2f %8.1f %8.1f %6.2f %8.1f %8.1f %6.2f %8.1f %8.1f %5.2f" %
              (name, t[0], t[1], b[0], b[1], t[0] / b[0], cpu, bare_cpu, cpu / bare_cpu,
               runs, bare_runs, runs / bare_runs, busy, idle, busy / idle))
    if bwrap:
        rows = probe([rounds, RATE, "spawn", bwrap] + BWRAP)
        t, b = rows["target"], rows["bare"]
        print("%-14s %10.1f %10.1f %10.1f %10.1f %6.2f" % ("bwrap", t[0], t[1], b[0], b[1], t[0] / b[0]))
    else:
        print("bwrap: not installed (apt-get install -y bubblewrap adds the comparison row)")


if __name__ == "__main__":
    main()
