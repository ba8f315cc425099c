"""Fairness benchmark (not a test), one kernel-mode server for every figure: the victim's
GET /api/health round trip (median and p99, connection included) from 127.0.0.2 on a quiet
server, while 600 draining connections from 127.0.0.1 announce a body of 99,999,999,999
bytes and send one byte a second, and while one agent token floods the request window
(21 requests at the start of every second, then as fast as one client goes). The victims
are the admin and another token agent; the target is a p99 within twice the quiet one.
A second table: the other agent's `echo` round trip through /api/exec on the quiet server and
while the flooder holds 42 `sleep 30` (its share of the runs, the rest refused).
BENCH_SAMPLES sets the samples per row (default 200, twenty a second)."""
import json
import os
import statistics
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from tests.blackbox.harness import DEFAULT_AUTH, Instance, request_bytes  # noqa: E402
from tests.blackbox.test_connection_shares import FLOODER, DrainingFlood, timed_request  # noqa: E402
from tests.blackbox.test_request_windows import AGENTS, WindowFlood  # noqa: E402

ADMIN_HEALTH = request_bytes("GET", "/api/health", auth=DEFAULT_AUTH)
AGENT_HEALTH = request_bytes("GET", "/api/health", auth="Bearer tok-bystander-2")
AGENT_ECHO = request_bytes("POST", "/api/exec", json.dumps({"cmd": "echo hi"}), auth="Bearer tok-bystander-2")
FLOODER_SLEEP = request_bytes("POST", "/api/exec", json.dumps({"cmd": "sleep 30"}), auth="Bearer tok-flooder-1")
MODERATE = "[config]\nprofile=1\nmax_rate_per_agent=1000\n"
FLOODER_HEALTH = request_bytes("GET", "/api/health", auth="Bearer tok-flooder-1")


def samples(srv, data, count):
    """count round trips of data from VICTIM, twenty a second; milliseconds."""
    times = []
    for _ in range(count):
        seconds, r = timed_request(srv, data)
        if r.status != 200:
            raise RuntimeError("the victim was refused: %r" % r.raw[:200])
        times.append(seconds * 1000)
        time.sleep(max(0.0, 0.05 - seconds))
    return times


class RunShareFlood:
    """42 `sleep 30` from the flooder, 14 a second (under its window), held open; counts
    the ones refused at once."""

    def __init__(self, srv):
        self.srv, self.held, self.refused = srv, [], 0

    def __enter__(self):
        for _ in range(3):
            time.sleep(int(time.time()) + 1 - time.time() + 0.02)
            for _ in range(14):
                s = self.srv.connect()
                s.sendall(FLOODER_SLEEP)
                self.held.append(s)
        time.sleep(0.5)
        for s in self.held:
            s.settimeout(0.05)
            try:
                if s.recv(1):
                    self.refused += 1
            except TimeoutError:
                pass
        return self

    def __exit__(self, *exc):
        for s in self.held:
            s.close()


class UnpacedFlood:
    """One client sending the flooder's health requests back to back from FLOODER; counts
    the answers of each status."""

    def __init__(self, srv):
        self.srv, self.statuses = srv, {}
        self.stopping = threading.Event()
        self.thread = threading.Thread(target=self.run, daemon=True)

    def run(self):
        while not self.stopping.is_set():
            _, r = timed_request(self.srv, FLOODER_HEALTH, source=FLOODER)
            self.statuses[r.status] = self.statuses.get(r.status, 0) + 1

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.stopping.set()
        self.thread.join(30)


def pct(values, p):
    values = sorted(values)
    return values[min(len(values) - 1, int(len(values) * p / 100))]


def main():
    count = int(os.environ.get("BENCH_SAMPLES", "200"))
    rows = []
    with Instance(mode="kernel", files={"agents": AGENTS, "policy.conf": MODERATE}) as srv:
        timed_request(srv, ADMIN_HEALTH)
        quiet = {"admin": samples(srv, ADMIN_HEALTH, count), "agent": samples(srv, AGENT_HEALTH, count)}
        rows += [("quiet", "admin", quiet["admin"], ""), ("quiet", "agent", quiet["agent"], "")]
        with DrainingFlood(srv) as flood:
            rows.append(("600 draining connections", "admin", samples(srv, ADMIN_HEALTH, count), ""))
        note = "%d opened, %d answered 413" % (flood.opened, flood.answered)
        rows[-1] = rows[-1][:3] + (note,)
        # The window flood lasts as long as the victims' samples: two rows of `count`.
        seconds = 2 * count // 20 + 2
        with WindowFlood(srv, "Bearer tok-flooder-1", per_second=21, seconds=seconds) as flood:
            for victim, data in (("admin", ADMIN_HEALTH), ("agent", AGENT_HEALTH)):
                rows.append(("agent at 21 requests/s", victim, samples(srv, data, count), ""))
        refused = sum(statuses.count(429) for statuses in flood.seconds_seen)
        rows[-1] = rows[-1][:3] + ("flooder refused %d times" % refused,)
        with UnpacedFlood(srv) as flood:
            for victim, data in (("admin", ADMIN_HEALTH), ("agent", AGENT_HEALTH)):
                rows.append(("agent unpaced", victim, samples(srv, data, count), ""))
        rows[-1] = rows[-1][:3] + ("flooder answers by status %s" % dict(sorted(flood.statuses.items())),)
        time.sleep(1.1)
        echo_quiet = samples(srv, AGENT_ECHO, count // 2)
        with RunShareFlood(srv) as flood:
            echo_flood = samples(srv, AGENT_ECHO, count // 2)
        echo_rows = [("quiet", echo_quiet, ""),
                     ("42 sleep 30 from one agent", echo_flood, "%d of 42 refused at once" % flood.refused)]
    print("\nFairness: the victim's GET /api/health from another address, ms (connection included)")
    print("%-26s %-6s %8s %8s %5s %12s  %s" % ("flood", "victim", "median", "p99", "n", "p99/quiet", "notes"))
    for flood_name, victim, times, notes in rows:
        ratio = pct(times, 99) / pct(quiet[victim], 99)
        print("%-26s %-6s %8.2f %8.2f %5d %12.2f  %s"
              % (flood_name, victim, statistics.median(times), pct(times, 99), len(times), ratio, notes))
    print("\nFairness: another agent's `echo hi` through /api/exec, ms (connection included)")
    print("%-26s %8s %8s %5s %12s  %s" % ("flood", "median", "p99", "n", "p99/quiet", "notes"))
    for flood_name, times, notes in echo_rows:
        ratio = pct(times, 99) / pct(echo_quiet, 99)
        print("%-26s %8.2f %8.2f %5d %12.2f  %s"
              % (flood_name, statistics.median(times), pct(times, 99), len(times), ratio, notes))


if __name__ == "__main__":
    main()
