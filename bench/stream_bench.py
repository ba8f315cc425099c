"""Streaming benchmark: the latency from a command writing a line to the client reading its
event (median and p99 over 200 lines of a streamed exec; each line carries the wall-clock
time it was written), and the server's resident memory with 16 background runs each
streaming output to its own reader."""
import json
import os
import statistics
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from tests.blackbox.harness import Instance, request_bytes  # noqa: E402
from tests.blackbox.test_exec_stream import EventReader, vm_rss_kb  # noqa: E402

CONFIG = "[config]\nprofile=2\n"
LINES = 200
RUNS = 16


def latency(srv):
    cmd = "seq %d | while read i; do date +%%s%%N; sleep 0.01; done" % LINES
    s = srv.connect()
    s.sendall(request_bytes("POST", "/api/exec", json.dumps({"cmd": cmd, "stream": True}), headers={"X-Agent": "bench"}))
    delays = []
    for _, (name, data) in EventReader(s).events(timeout=60):
        if name != "stdout":
            continue
        now = time.time_ns()
        delays += [(now - int(line)) / 1e6 for line in data["text"].split()]
    s.close()
    delays.sort()
    return statistics.median(delays), delays[int(len(delays) * 0.99) - 1], len(delays)


def background_memory(srv):
    pid = srv.server_pid()
    before = vm_rss_kb(pid)
    ids = []
    for i in range(RUNS):
        r = srv.post("/api/exec", json.dumps({"cmd": "while true; do seq 1000; sleep 0.05; done", "background": True}),
                     headers={"X-Agent": "bench-%d" % (i // 4)})
        ids.append((r.json()["run_id"], "bench-%d" % (i // 4)))
    readers = []
    for run_id, agent in ids:
        s = srv.connect()
        s.sendall(request_bytes("GET", "/api/runs/%d/events" % run_id, headers={"X-Agent": agent}))
        s.setblocking(False)
        readers.append(s)
    peak = before
    end = time.time() + 10
    received = 0
    while time.time() < end:
        for s in readers:
            try:
                while True:
                    chunk = s.recv(65536)
                    if not chunk:
                        break
                    received += len(chunk)
            except BlockingIOError:
                pass
        peak = max(peak, vm_rss_kb(pid))
        time.sleep(0.05)
    for run_id, agent in ids:
        srv.request("DELETE", "/api/runs/%d" % run_id, headers={"X-Agent": agent})
    for s in readers:
        s.close()
    return before, peak, received


def main():
    with Instance(mode="kernel", files={"policy.conf": CONFIG}) as srv:
        median, p99, count = latency(srv)
        print("line to event: median %.2f ms, p99 %.2f ms over %d lines" % (median, p99, count))
        before, peak, received = background_memory(srv)
        print("%d background runs streaming to %d readers for 10 s: VmRSS %d kB before, %d kB at most "
              "(%d bytes of events read)" % (RUNS, RUNS, before, peak, received))


if __name__ == "__main__":
    main()
