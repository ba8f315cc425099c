"""Concurrency benchmark (not a test), one kernel-mode server for every figure:
GET /api/health median and p99 idle and while eight `sleep 2` commands run; the wall time
of eight parallel `sleep 1` runs; resident memory (VmRSS, and Pss where the kernel tells it)
after start, with eight runs in flight and 256 idle connections open, and after 100 and
2,000 requests of a mix that holds the dearest answers: the largest output the server keeps,
all control bytes, through /api/exec and through /mcp tools/call. Memory that stays the same
from 100 requests to 2,000 is memory given back after every answer. Every phase stays under
the global limit of 20 requests per second, so the 2,000 requests take about two minutes
(BENCH_REQUESTS changes the count)."""
import json
import os
import statistics
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from tests.blackbox.harness import DEFAULT_AUTH, Instance, recv_all, request_bytes  # noqa: E402
from tests.blackbox.test_connection_memory import CONTROL_BYTES, tool_call_request  # noqa: E402

POLICY = "[config]\nprofile=2\nmax_rate_per_agent=1000000\n"
HEALTH = ("GET /api/health HTTP/1.1\r\nHost: localhost\r\nAuthorization: %s\r\n\r\n" % DEFAULT_AUTH).encode()


def exec_request(cmd, agent):
    body = json.dumps({"cmd": cmd}).encode()
    return (("POST /api/exec HTTP/1.1\r\nHost: localhost\r\nAuthorization: %s\r\nX-Agent: %s\r\n"
             "Content-Type: application/json\r\nContent-Length: %d\r\n\r\n" % (DEFAULT_AUTH, agent, len(body))).encode()
            + body)


def proc_field_kib(path, name):
    try:
        with open(path) as f:
            for line in f:
                if line.startswith(name + ":"):
                    return int(line.split()[1])
    except OSError:
        pass
    return -1


def rss_kib(pid):
    return proc_field_kib("/proc/%d/status" % pid, "VmRSS")


def memory_kib(pid):
    """(VmRSS, Pss) of the process in KiB; -1 for a figure the kernel does not give."""
    return rss_kib(pid), proc_field_kib("/proc/%d/smaps_rollup" % pid, "Pss")


class Pacer:
    """At most `per_second` requests in any calendar second, over every thread."""

    def __init__(self, per_second):
        self.per_second, self.second, self.sent, self.lock = per_second, 0, 0, threading.Lock()

    def wait(self):
        while True:
            with self.lock:
                now = int(time.time())
                if now != self.second:
                    self.second, self.sent = now, 0
                if self.sent < self.per_second:
                    self.sent += 1
                    return
            time.sleep(self.second + 1 - time.time() + 0.001)


def round_trip(srv, data):
    s = srv.connect()
    try:
        started = time.perf_counter()
        s.sendall(data)
        answer = recv_all(s)
        return time.perf_counter() - started, answer
    finally:
        s.close()


def health_samples(srv, pacer, count, stop=None):
    out = []
    while len(out) < count and not (stop and stop.is_set()):
        pacer.wait()
        seconds, answer = round_trip(srv, HEALTH)
        assert answer.startswith(b"HTTP/1.1 200"), answer[:80]
        out.append(seconds * 1e6)
        time.sleep(0.03)
    return out


def run_parallel(srv, pacer, cmd, count):
    """Starts count runs at once; returns the answers' wall time from the first send."""
    done = []
    threads = []
    started = time.perf_counter()
    for i in range(count):
        pacer.wait()
        t = threading.Thread(target=lambda i=i: done.append(round_trip(srv, exec_request(cmd, "bench%d" % i))[1]))
        t.start()
        threads.append(t)
    return started, threads, done


def pct(values, p):
    values = sorted(values)
    return values[min(len(values) - 1, int(len(values) * p / 100))]


def main():
    total = int(os.environ.get("BENCH_REQUESTS", "2000"))
    pacer = Pacer(19)
    # The idle connections come from one address: its share is raised to hold them all.
    with Instance(mode="kernel", files={"policy.conf": POLICY, "config": "max_connections_per_peer=512\n"}) as srv:
        pid = srv.proc.pid
        round_trip(srv, HEALTH)
        memory = [("after start", memory_kib(pid))]

        idle = health_samples(srv, pacer, 120)
        busy = []
        for _ in range(4):
            started, threads, _ = run_parallel(srv, pacer, "sleep 2", 8)
            busy += health_samples(srv, pacer, 1000, stop=_Until(started + 1.9))
            for t in threads:
                t.join()

        started, threads, done = run_parallel(srv, pacer, "sleep 1", 8)
        for t in threads:
            t.join()
        wall = time.perf_counter() - started
        assert len(done) == 8 and all(a.startswith(b"HTTP/1.1 200") for a in done)

        sockets = [srv.connect() for _ in range(256)]
        started, threads, _ = run_parallel(srv, pacer, "sleep 2", 8)
        time.sleep(1.0)
        memory.append(("8 runs and 256 idle connections", memory_kib(pid)))
        for t in threads:
            t.join()
        for s in sockets:
            s.close()

        mix = [lambda i: HEALTH,
               lambda i: exec_request("echo hi", "mix%d" % (i % 16)),
               lambda i: exec_request(CONTROL_BYTES, "mix%d" % (i % 16)),
               lambda i: tool_call_request(CONTROL_BYTES, DEFAULT_AUTH),
               lambda i: b"OPTIONS /api/exec HTTP/1.1\r\nHost: localhost\r\n\r\n",
               lambda i: request_bytes("GET", "/api/audit"),
               lambda i: request_bytes("GET", "/api/agents"),
               lambda i: request_bytes("GET", "/")]
        for i in range(total):
            pacer.wait()
            _, answer = round_trip(srv, mix[i % len(mix)](i))
            assert answer.startswith(b"HTTP/1.1 200"), answer[:80]
            if i + 1 == 100:
                memory.append(("after 100 requests of the mix", memory_kib(pid)))
        memory.append(("after %d requests of the mix" % total, memory_kib(pid)))

    print("%-34s %10s %10s %6s" % ("GET /api/health", "median us", "p99 us", "n"))
    print("%-34s %10.1f %10.1f %6d" % ("idle", statistics.median(idle), pct(idle, 99), len(idle)))
    print("%-34s %10.1f %10.1f %6d" % ("while eight sleep 2 run", statistics.median(busy), pct(busy, 99), len(busy)))
    print("busy/idle median ratio %.2f" % (statistics.median(busy) / statistics.median(idle)))
    print("eight parallel sleep 1: %.2f s wall" % wall)
    print("\n%-34s %10s %10s" % ("resident memory", "VmRSS KiB", "Pss KiB"))
    for name, (rss, pss) in memory:
        print("%-34s %10d %10d" % (name, rss, pss))


class _Until:
    """An event that is set once a monotonic instant has passed."""

    def __init__(self, deadline):
        self.deadline = deadline

    def is_set(self):
        return time.perf_counter() >= self.deadline


if __name__ == "__main__":
    main()
