"""Streamed exec: "stream":true (or Accept: text/event-stream) answers server-sent events as
the command writes, through a raw socket, curl and Python's urllib; the exit event carries
the answer the request would have had; UTF-8 cut between reads arrives whole; a refusal
before the run is the ordinary answer; a client that leaves cancels the run; a reader that
takes nothing while the command floods costs the server no more than its bounded buffer
and is told how many bytes were dropped."""
import json
import os
import subprocess
import time
import unittest

from tests.blackbox.harness import DEFAULT_AUTH, Instance, json_error, request_bytes

MODERATE = "[config]\nprofile=1\n"
PERMISSIVE = "[config]\nprofile=2\n"
TICKS = "for i in 1 2 3 4 5; do echo line$i; sleep 0.2; done"


def parse_events(data):
    """(event, data as JSON) pairs of a text/event-stream body."""
    events = []
    for block in data.decode("utf-8").split("\n\n"):
        if not block:
            continue
        fields = dict(line.split(": ", 1) for line in block.split("\n"))
        events.append((fields["event"], json.loads(fields["data"])))
    return events


class EventReader:
    """Reads a streamed answer from a socket, noting when each event arrived."""

    def __init__(self, sock):
        self.sock = sock
        self.buffer = b""
        self.head = None

    def events(self, timeout=20.0):
        self.sock.settimeout(timeout)
        while True:
            if self.head is None and b"\r\n\r\n" in self.buffer:
                self.head, self.buffer = self.buffer.split(b"\r\n\r\n", 1)
            while self.head is not None and b"\n\n" in self.buffer:
                block, self.buffer = self.buffer.split(b"\n\n", 1)
                yield time.monotonic(), parse_events(block + b"\n\n")[0]
            chunk = self.sock.recv(65536)
            if not chunk:
                return
            self.buffer += chunk


def stream_request(cmd, agent, **members):
    body = {"cmd": cmd, "stream": True}
    body.update(members)
    return request_bytes("POST", "/api/exec", json.dumps(body), headers={"X-Agent": agent})


def vm_rss_kb(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise AssertionError("no VmRSS")


class StreamTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.srv = Instance(mode="basic", files={"policy.conf": MODERATE})

    @classmethod
    def tearDownClass(cls):
        cls.srv.cleanup()

    def run_streamed(self, cmd, agent, **members):
        s = self.srv.connect()
        try:
            s.sendall(stream_request(cmd, agent, **members))
            reader = EventReader(s)
            timed = list(reader.events())
            return reader.head, timed
        finally:
            s.close()

    def test_lines_arrive_as_separate_events_while_the_command_runs(self):
        head, timed = self.run_streamed(TICKS, "stream-ticks")
        self.assertTrue(head.startswith(b"HTTP/1.1 200 OK\r\n"), head)
        self.assertIn(b"\r\nContent-Type: text/event-stream; charset=utf-8\r\n", head)
        self.assertIn(b"\r\nConnection: close", head)
        self.assertNotIn(b"Content-Length", head)
        events = [e for _, e in timed]
        self.assertEqual(events[:-1], [("stdout", {"text": "line%d\n" % i}) for i in range(1, 6)])
        name, answer = events[-1]
        self.assertEqual(name, "exit")
        self.assertEqual((answer["ok"], answer["stdout"], answer["exit_code"], answer["stdout_bytes"]),
                         (True, "line1\nline2\nline3\nline4\nline5\n", 0, 30))
        # The lines came as the command wrote them, the first well before the exit. Lower
        # bounds only: a loaded machine makes the command slower, never faster.
        times = [t for t, _ in timed]
        self.assertGreater(times[4] - times[0], 0.4, times)
        self.assertGreater(times[-1] - times[0], 0.7, times)

    def test_accept_header_streams_and_stream_false_does_not(self):
        body = json.dumps({"cmd": "echo hi; echo oops >&2"})
        r = self.srv.raw(request_bytes("POST", "/api/exec", body,
                                       headers={"X-Agent": "stream-accept", "Accept": "text/event-stream"}))
        events = parse_events(r.split(b"\r\n\r\n", 1)[1])
        self.assertEqual(sorted(events[:2]), [("stderr", {"text": "oops\n"}), ("stdout", {"text": "hi\n"})])
        self.assertEqual(events[2][0], "exit")
        self.assertEqual(events[2][1]["stderr"], "oops\n")
        body = json.dumps({"cmd": "echo hi", "stream": False})
        r = self.srv.post("/api/exec", body, headers={"X-Agent": "stream-accept", "Accept": "text/event-stream"})
        self.assertEqual(r.json()["stdout"], "hi\n")

    def test_utf8_cut_between_reads_arrives_whole_and_invalid_bytes_are_flagged(self):
        _, timed = self.run_streamed(r"printf 'caf\303'; sleep 0.3; printf '\251!\n'; printf 'a\377b\n' >&2", "stream-utf8")
        events = [e for _, e in timed]
        text = "".join(d["text"] for name, d in events if name == "stdout")
        self.assertEqual(text, "café!\n")
        self.assertFalse(any("lossy" in d for name, d in events if name == "stdout"))
        self.assertIn(("stderr", {"text": "a\ufffdb\n", "lossy": True}), events)
        self.assertTrue(events[-1][1]["stderr_lossy"])

    def test_a_command_cut_inside_a_sequence_ends_with_its_start_as_lossy(self):
        _, timed = self.run_streamed(r"printf 'x\342\202'", "stream-cut")
        events = [e for _, e in timed]
        self.assertEqual("".join(d["text"] for n, d in events if n == "stdout"), "x\ufffd\ufffd")
        self.assertEqual(events[-1][1]["stdout"], "x\ufffd\ufffd")

    def test_refusals_before_the_run_are_ordinary_answers(self):
        r = self.srv.raw(stream_request("cat /etc/passwd", "stream-refused"))
        self.assertTrue(r.startswith(b"HTTP/1.1 403 Forbidden\r\nContent-Type: application/json\r\n"), r)
        r = self.srv.post("/api/exec", '{"cmd":"true","stream":"yes"}', headers={"X-Agent": "stream-refused"})
        self.assertEqual(r.raw, json_error(400, "Bad Request", "stream must be true or false"))

    def test_a_run_that_cannot_start_answers_in_its_exit_event(self):
        _, timed = self.run_streamed("true", "stream-cwd", cwd="/tmp/nowhere")
        self.assertEqual([e for _, e in timed], [("exit", {"ok": False, "error": "no such directory: /tmp/nowhere"})])

    def test_a_client_that_leaves_cancels_the_run(self):
        s = self.srv.connect()
        s.sendall(stream_request("echo started; sleep 20", "stream-leaver"))
        reader = EventReader(s)
        first = next(reader.events())
        self.assertEqual(first[1], ("stdout", {"text": "started\n"}))
        s.close()
        deadline = time.time() + 5
        while time.time() < deadline:
            entries = self.srv.get("/api/audit?agent=stream-leaver").json()["entries"]
            if any("EXEC CANCELLED" in e for e in entries):
                break
            time.sleep(0.1)
        self.assertTrue(any('EXEC CANCELLED "echo started; sleep 20"' in e for e in entries), entries)


class ClientsTest(unittest.TestCase):
    """curl and urllib in the instance's network namespace, reading lines as they come."""

    @classmethod
    def setUpClass(cls):
        cls.srv = Instance(mode="basic", files={"policy.conf": MODERATE})

    @classmethod
    def tearDownClass(cls):
        cls.srv.cleanup()

    def timed_lines(self, argv):
        proc = subprocess.Popen(["nsenter", "--net=/proc/%d/ns/net" % self.srv.proc.pid] + argv,
                                stdout=subprocess.PIPE)
        lines = []
        with proc.stdout:
            for line in proc.stdout:
                lines.append((time.monotonic(), line.decode().rstrip("\n")))
        proc.wait(timeout=20)
        return lines

    def check_ticks(self, lines):
        data = [(t, text) for t, text in lines if text.startswith("data: ")]
        self.assertEqual([text for _, text in data[:5]], ['data: {"text":"line%d\\n"}' % i for i in range(1, 6)])
        self.assertTrue(data[5][1].startswith('data: {"ok":true,"stdout":"line1\\nline2'), data[5])
        # Each line as it came, the first well before the end (lower bounds only, which
        # load never breaks).
        self.assertGreater(data[4][0] - data[0][0], 0.4, data)
        self.assertGreater(data[5][0] - data[0][0], 0.6, data)

    def test_curl_gets_each_line_as_it_comes(self):
        body = json.dumps({"cmd": TICKS})
        self.check_ticks(self.timed_lines([
            "curl", "-sN", "-H", "Authorization: " + DEFAULT_AUTH, "-H", "X-Agent: curl-stream",
            "-H", "Accept: text/event-stream", "-H", "Content-Type: application/json", "-d", body,
            "http://127.0.0.1:7575/api/exec"]))

    def test_urllib_gets_each_line_as_it_comes(self):
        script = (
            "import json, sys, urllib.request\n"
            "req = urllib.request.Request('http://127.0.0.1:7575/api/exec', data=json.dumps("
            "{'cmd': sys.argv[1], 'stream': True}).encode(), headers={'Authorization': sys.argv[2], "
            "'X-Agent': 'urllib-stream', 'Content-Type': 'application/json'})\n"
            "with urllib.request.urlopen(req) as r:\n"
            "    assert r.headers['Content-Type'].startswith('text/event-stream')\n"
            "    for line in r:\n"
            "        print(line.decode().rstrip('\\n'), flush=True)\n")
        self.check_ticks(self.timed_lines(["python3", "-c", script, TICKS, DEFAULT_AUTH]))


class SlowReaderTest(unittest.TestCase):
    def test_a_reader_that_takes_nothing_costs_only_the_bounded_buffer_and_is_told_of_drops(self):
        total = 50 * 1000 * 1000
        with Instance(mode="basic", files={"policy.conf": PERMISSIVE}) as srv:
            pid = srv.server_pid()
            srv.exec("true", agent="warm-up")
            before = vm_rss_kb(pid)
            s = srv.connect()
            s.setsockopt(__import__("socket").SOL_SOCKET, __import__("socket").SO_RCVBUF, 65536)
            s.sendall(stream_request("head -c %d /dev/zero | tr '\\0' a; sleep 1; echo done" % total, "slow-reader"))
            peak = before
            for _ in range(50):
                time.sleep(0.2)
                peak = max(peak, vm_rss_kb(pid))
            reader = EventReader(s)
            received = dropped = 0
            final = None
            for _, (name, data) in reader.events(timeout=30):
                if name == "stdout":
                    received += len(data["text"].encode())
                elif name == "dropped":
                    self.assertEqual(data["stream"], "stdout")
                    dropped += data["bytes"]
                else:
                    final = (name, data)
            s.close()
            growth_mb = (peak - before) / 1024
            print("\n[slow reader] VmRSS before %d kB, peak %d kB (+%.1f MB) for %d bytes printed; "
                  "%d streamed, %d dropped" % (before, peak, growth_mb, total + 5, received, dropped))
            self.assertEqual(final[0], "exit")
            self.assertEqual(final[1]["stdout_bytes"], total + 5)
            self.assertTrue(final[1]["stdout_truncated"])
            self.assertGreater(dropped, 0)
            self.assertEqual(received + dropped, total + 5)
            # The ring (1 MiB), two capture buffers (1 MiB each), the event and the answer.
            self.assertLess(growth_mb, 16)


class UnreadStreamsTest(unittest.TestCase):
    """Streams whose runs have ended but whose readers take nothing hold their answers' memory
    only until someone else needs it: they give way like any slow writer, so one agent's
    unread streams cannot keep everyone else's requests out."""

    def test_finished_unread_streams_give_way_to_new_requests(self):
        config = "connection_memory_mb=64\n"
        with Instance(mode="basic", files={"policy.conf": PERMISSIVE, "config": config}) as srv:
            held = []
            try:
                for i in range(8):
                    s = srv.connect()
                    s.setsockopt(__import__("socket").SOL_SOCKET, __import__("socket").SO_RCVBUF, 4096)
                    s.sendall(stream_request("head -c 3000000 /dev/zero | tr '\\0' a", "hog-%d" % i))
                    s.settimeout(10)
                    self.assertEqual(s.recv(12), b"HTTP/1.1 200", i)
                    held.append(s)
                    time.sleep(0.3)
                health = srv.get("/api/health")
                self.assertEqual(health.status, 200, health.raw[:300])
                self.assertEqual(srv.exec("echo through", agent="neighbour").json()["stdout"], "through\n")
            finally:
                for s in held:
                    s.close()


if __name__ == "__main__":
    unittest.main()
