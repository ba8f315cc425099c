"""Long work through the real clients: a streamed command's lines arrive as separate events
while it runs, and a background run that reads its stdin echoes what is written, ends on
eof and ends when killed. Through curl, the Python client (in-process, urllib) and the
JavaScript client under Node, each inside the server's network namespace; headless
Chromium's fetch is tests/browser/exec_stream.test.mjs. The clients' reading of event
streams (lines cut anywhere, resumption from Last-Event-ID) and their feeding of a full
pipe are also checked against answers the test makes, without a server."""
import hashlib
import io
import json
import os
import queue
import socket
import subprocess
import sys
import threading
import time
import unittest
import urllib.error

from tests.blackbox import harness
from tests.blackbox.test_client_packages import NODE_DIR, InNamespace, node_ready

sys.path.insert(0, os.path.join(harness.ROOT, "clients", "python"))
import cindervox  # noqa: E402

MODERATE = "[config]\nprofile=1\n"
URL = "http://127.0.0.1:7575"
# A line every 200 ms: about a second from the first line to the end.
TICKS = "for i in 1 2 3 4 5; do echo line$i; sleep 0.2; done"
TICKS_OUTPUT = "".join("line%d\n" % i for i in range(1, 6))
# 100,000 bytes of text beyond ASCII: more than a pipe holds, for a command that reads
# it only after a second.
WIDE_INPUT = "\u00e9" * 50000
SLOW_READER = "sleep 1; sha256sum"


def check_streamed(test, arrivals, exit_time):
    """arrivals: (time, text) of TICKS's output events. The text is the output, whole lines
    in order; the events are several, and the first came well before the end (the command
    goes on for a second after its first line), so nothing gathered the output. Only lower
    bounds on time: a loaded machine makes the command slower, never faster."""
    test.assertEqual("".join(text for _, text in arrivals), TICKS_OUTPUT)
    test.assertTrue(all(text.endswith("\n") for _, text in arrivals), arrivals)
    test.assertGreaterEqual(len(arrivals), 2, arrivals)
    test.assertGreater(arrivals[-1][0] - arrivals[0][0], 0.4, arrivals)
    test.assertGreater(exit_time - arrivals[0][0], 0.6, (arrivals, exit_time))


def sha256_line(text):
    return hashlib.sha256(text.encode()).hexdigest() + "  -\n"


class ServerCase(unittest.TestCase):
    """One server (basic mode, moderate profile) per class."""

    @classmethod
    def setUpClass(cls):
        cls.srv = harness.Instance(mode="basic", files={"policy.conf": MODERATE})

    @classmethod
    def tearDownClass(cls):
        cls.srv.cleanup()

    def in_namespace(self, argv):
        return ["nsenter", "--net=/proc/%d/ns/net" % self.srv.proc.pid] + argv


class PythonClientTest(ServerCase):
    def setUp(self):
        namespace = InNamespace(self.srv)
        namespace.__enter__()
        self.addCleanup(namespace.__exit__)
        self.terox = cindervox.Terox(URL, auth=("terox", "wickerpod"), agent="py-long")

    def test_stream_yields_each_line_as_it_is_written(self):
        arrivals, exit_event = [], None
        with self.terox.stream(TICKS) as events:
            for event in events:
                if event.kind == "exit":
                    exit_event = (time.monotonic(), event)
                else:
                    self.assertEqual(event.kind, "stdout")
                    arrivals.append((time.monotonic(), event.text))
        check_streamed(self, arrivals, exit_event[0])
        self.assertEqual((exit_event[1].result.stdout, exit_event[1].result.exit_code), (TICKS_OUTPUT, 0))
        self.assertIs(events.result, exit_event[1].result)

    def test_stream_errors_and_leaving_early(self):
        with self.assertRaises(cindervox.PolicyRefused) as refused:
            self.terox.stream("cat /etc/shadow")
        self.assertEqual((refused.exception.status, refused.exception.message), (403, "access to sensitive path blocked"))
        with self.assertRaises(cindervox.SandboxError) as failed:
            list(self.terox.stream("true", cwd="/tmp/nowhere"))
        self.assertEqual(failed.exception.message, "no such directory: /tmp/nowhere")
        # Leaving after the first event cancels the command.
        with self.terox.stream("echo first; sleep 20", agent="py-leaver") as events:
            self.assertEqual(next(events).text, "first\n")
        deadline = time.time() + 5
        while time.time() < deadline:
            entries = self.terox.audit("py-leaver")
            if any("EXEC CANCELLED" in e for e in entries):
                break
            time.sleep(0.2)
        self.assertTrue(any('EXEC CANCELLED "echo first; sleep 20"' in e for e in entries), entries)

    def test_a_background_run_echoes_its_stdin_and_ends_on_eof(self):
        run = self.terox.start("cat")
        events = run.events()
        self.assertEqual(run.write_stdin("hello\n"), cindervox.StdinResult(6, 6, True))
        first = next(events)
        self.assertEqual((first.kind, first.text, first.id), ("stdout", "hello\n", 6))
        self.assertTrue(run.status().running)
        run.write_stdin("caf\u00e9\n", eof=True)
        rest = list(events)
        self.assertEqual("".join(e.text for e in rest if e.kind == "stdout"), "caf\u00e9\n")
        self.assertEqual((rest[-1].kind, rest[-1].result.exit_code, rest[-1].result.stdin_open), ("exit", 0, False))
        self.assertEqual(run.wait(timeout=10).exit_code, 0)
        part = run.output(offset=6)
        self.assertEqual((part.output, part.offset, part.next_offset, part.dropped), ("caf\u00e9\n", 6, 12, 0))
        with self.assertRaises(cindervox.SandboxError) as ended:
            run.write_stdin("late")
        self.assertEqual((ended.exception.status, ended.exception.message), (409, "the run has ended"))

    def test_events_resume_after_the_last_id_without_repeats(self):
        run = self.terox.start("for i in 1 2 3; do echo l$i; sleep 0.3; done")
        with run.events() as events:
            first = next(events)
        self.assertEqual((first.text, first.id), ("l1\n", 3))
        rest = list(self.terox.run(run.id).events(last_event_id=first.id))
        self.assertEqual("".join(e.text for e in rest if e.kind == "stdout"), "l2\nl3\n")
        self.assertEqual(rest[-1].result.output_bytes, 9)

    def test_stdin_beyond_a_pipe_goes_whole_to_a_command_that_reads_late(self):
        # An agent of its own: its many requests fill its own per-second window only.
        run = self.terox.start(SLOW_READER, agent="py-wide")
        written = run.write_stdin(WIDE_INPUT, eof=True)
        self.assertEqual((written.bytes, written.written, written.stdin_open), (100000, 100000, False))
        self.assertEqual(run.wait(timeout=30).exit_code, 0)
        self.assertEqual(run.output().output, sha256_line(WIDE_INPUT))

    def test_kill_ends_a_run_that_wait_gave_up_on(self):
        run = self.terox.start("sleep 30")
        with self.assertRaises(cindervox.RunTimeout):
            run.wait(timeout=0.5)
        self.assertIn(run.id, [s.run_id for s in self.terox.runs() if s.running])
        self.assertTrue(run.kill())
        final = run.wait(timeout=10)
        self.assertEqual((final.state, final.exit_code, final.stopped), ("exited", 137, True))
        self.assertFalse(run.kill())


class CurlTest(ServerCase):
    """curl does each step; curl -N follows the run's events, read as its lines come."""

    def curl(self, *args):
        argv = ["curl", "-sS", "-H", "Authorization: " + harness.DEFAULT_AUTH, "-H", "X-Agent: curl-long",
                "-H", "Content-Type: application/json"] + list(args)
        done = subprocess.run(self.in_namespace(argv), capture_output=True, text=True, timeout=30)
        self.assertEqual(done.returncode, 0, done.stderr)
        return json.loads(done.stdout)

    def follow(self, run_id):
        """curl -N on the run's events; a queue of its data lines, as they come."""
        argv = ["curl", "-sSN", "-H", "Authorization: " + harness.DEFAULT_AUTH, "-H", "X-Agent: curl-long",
                "%s/api/runs/%d/events" % (URL, run_id)]
        proc = subprocess.Popen(self.in_namespace(argv), stdout=subprocess.PIPE, text=True)
        self.addCleanup(proc.wait, 10)
        self.addCleanup(proc.kill)
        lines = queue.Queue()

        def pump():
            with proc.stdout:
                for line in proc.stdout:
                    if line.startswith("data: "):
                        lines.put(json.loads(line[6:]))
            lines.put(None)
        threading.Thread(target=pump, daemon=True).start()
        return lines

    def start(self, cmd):
        answer = self.curl("-d", json.dumps({"cmd": cmd, "background": True}), URL + "/api/exec")
        return answer["run_id"]

    def test_a_background_run_echoes_its_stdin_and_ends_on_eof(self):
        run_id = self.start("cat")
        lines = self.follow(run_id)
        stdin = "%s/api/runs/%d/stdin" % (URL, run_id)
        self.assertEqual(self.curl("-d", '{"data":"hello\\n"}', stdin)["written"], 6)
        # The echo comes while the run goes on.
        self.assertEqual(lines.get(timeout=10), {"text": "hello\n"})
        self.assertEqual(self.curl("-d", '{"data":"bye\\n","eof":true}', stdin)["stdin_open"], False)
        self.assertEqual(lines.get(timeout=10), {"text": "bye\n"})
        final = lines.get(timeout=10)
        self.assertEqual((final["state"], final["exit_code"], final["output_bytes"]), ("exited", 0, 10))
        self.assertIsNone(lines.get(timeout=10))

    def test_delete_ends_a_run(self):
        run_id = self.start("sleep 30")
        lines = self.follow(run_id)
        self.assertEqual(self.curl("-X", "DELETE", "%s/api/runs/%d" % (URL, run_id)), {"ok": True, "run_id": run_id, "stopped": True})
        final = lines.get(timeout=10)
        self.assertEqual((final["exit_code"], final["stopped"]), (137, True))


@unittest.skipUnless(node_ready(), "run tests/install_deps.sh first (Node packages of tests/clients)")
class NodeClientTest(ServerCase):
    """The JavaScript client under Node, inside the server's network namespace."""

    def run_node(self, test_file):
        env = dict(os.environ, CINDERVOX_URL=URL, TICKS=TICKS, TICKS_OUTPUT=TICKS_OUTPUT,
                   SLOW_READER=SLOW_READER, WIDE_INPUT=WIDE_INPUT)
        done = subprocess.run(self.in_namespace(["node", "--test", "--test-reporter=tap", test_file]),
                              cwd=NODE_DIR, env=env, capture_output=True, timeout=300)
        output = (done.stdout + done.stderr).decode("utf-8", "replace")
        self.assertEqual(done.returncode, 0, output)

    def test_js_client_long_work(self):
        self.run_node("js_long_work.test.mjs")

    def test_js_client_event_streams_without_a_server(self):
        self.run_node("js_streams.test.mjs")


# ---- the Python client's reading and feeding, against answers made here ------------------

class _StreamAnswer:
    """An open answer whose body is the given lines, then either its end or a failure."""

    def __init__(self, body, then=None, status=200):
        self.status = status
        self._body = io.BytesIO(body.encode())
        self._then = then
        self.closed = False

    def readline(self):
        line = self._body.readline()
        if not line and self._then is not None:
            raise self._then
        return line

    def read(self):
        return self._body.read()

    def close(self):
        self.closed = True

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class WithoutServerTest(unittest.TestCase):
    def client(self, answer):
        terox = cindervox.Terox("http://sandbox.test:7575", token="t0k", agent="a", timeout=5)
        self.sent = []

        def opener(request, timeout):
            self.sent.append((request.get_method(), request.full_url, dict(request.header_items()),
                              json.loads(request.data) if request.data is not None else None))
            return answer(self.sent[-1])
        terox._opener.open = opener
        return terox

    def test_events_are_read_as_the_format_has_them(self):
        body = (": a comment\r\nevent: stdout\r\ndata: {\"text\":\"a\\n\"}\r\n\r\n"
                "event: stderr\ndata: {\"text\":\"\\ufffd\",\n"
                "data: \"lossy\":true}\n\n"
                "retry: 10\n\n"
                "event: dropped\ndata: {\"stream\":\"stdout\",\"bytes\":7}\n\n"
                "event: exit\ndata: {\"ok\":true,\"stdout\":\"a\\n\",\"exit_code\":3,\"duration_ms\":1}\n\n")
        answer = _StreamAnswer(body)
        events = list(self.client(lambda sent: answer).stream("x", cwd="src"))
        self.assertEqual(self.sent[0][3], {"cmd": "x", "cwd": "src", "stream": True})
        self.assertEqual(self.sent[0][2]["Accept"], "text/event-stream")
        self.assertEqual([(e.kind, e.text, e.lossy, e.stream, e.bytes) for e in events[:3]],
                         [("stdout", "a\n", False, "stdout", 0), ("stderr", "\ufffd", True, "stderr", 0),
                          ("dropped", "", False, "stdout", 7)])
        self.assertEqual((events[3].kind, events[3].result.exit_code, events[3].result.stdout), ("exit", 3, "a\n"))
        self.assertTrue(answer.closed)

    def test_a_streamed_exec_that_breaks_or_fails_raises(self):
        broken = self.client(lambda sent: _StreamAnswer('event: stdout\ndata: {"text":"a"}\n\n'))
        with self.assertRaises(cindervox.SandboxError) as cut:
            list(broken.stream("x"))
        self.assertEqual(cut.exception.message, "the event stream ended before its exit event")
        self.assertEqual(len(self.sent), 1)  # a streamed exec is never sent twice
        failing = self.client(lambda sent: _StreamAnswer('event: exit\ndata: {"ok":false,"error":"no such directory: /tmp/a"}\n\n'))
        with self.assertRaises(cindervox.SandboxError) as failed:
            list(failing.stream("x"))
        self.assertEqual((failed.exception.message, failed.exception.body["ok"]), ("no such directory: /tmp/a", False))

    def test_run_events_resume_from_the_last_id_after_a_break(self):
        answers = [_StreamAnswer('id: 3\nevent: stdout\ndata: {"text":"ab\\n"}\n\n', then=ConnectionResetError()),
                   _StreamAnswer(""),
                   _StreamAnswer('id: 5\nevent: stdout\ndata: {"text":"c\\n"}\n\n'
                                 'id: 5\nevent: exit\ndata: {"ok":true,"run_id":4,"state":"exited","exit_code":0}\n\n')]
        terox = self.client(lambda sent: answers.pop(0))
        events = list(terox.run(4).events())
        self.assertEqual([(e.kind, e.text, e.id) for e in events], [("stdout", "ab\n", 3), ("stdout", "c\n", 5), ("exit", "", 5)])
        self.assertEqual([s[2].get("Last-event-id") for s in self.sent], [None, "3", "3"])
        self.assertEqual({s[1] for s in self.sent}, {"http://sandbox.test:7575/api/runs/4/events"})
        self.assertEqual((events[-1].result.state, events[-1].result.exit_code), ("exited", 0))

    def test_run_events_give_up_when_reconnecting_brings_nothing(self):
        terox = self.client(lambda sent: _StreamAnswer(""))
        with self.assertRaises(cindervox.SandboxError) as stuck:
            list(terox.run(4).events())
        self.assertEqual(stuck.exception.message, "the event stream keeps ending before its exit event")
        self.assertEqual(len(self.sent), 4)

    def test_wait_gives_up_at_its_time_out_also_on_a_server_slow_to_answer(self):
        def answer(sent):
            if not sent[1].endswith("/events"):
                return _StreamAnswer('{"ok":true,"run_id":4,"state":"running","output_bytes":12,"output":""}')
            raise urllib.error.URLError(socket.timeout("timed out"))
        terox = self.client(answer)
        with self.assertRaises(cindervox.RunTimeout) as late:
            terox.run(4).wait(timeout=0.3)
        self.assertEqual(late.exception.message, "run 4 is still running")
        self.assertEqual(self.sent[0][1], "http://sandbox.test:7575/api/runs/4?offset=999999999999999999")
        self.assertEqual(self.sent[1][2]["Last-event-id"], "12")

    def test_stdin_goes_in_pieces_a_full_pipe_takes_whole_or_not_at_all(self):
        """A pipe of 10,000 bytes that the command empties every third write: a write of up
        to 4,096 bytes is whole or nothing, a longer one takes what fits."""
        pipe = {"free": 10000, "got": b"", "writes": 0}

        def answer(sent):
            data = sent[3].get("data", "").encode()
            pipe["writes"] += 1
            if pipe["writes"] % 3 == 0:
                pipe["free"] = 10000
            taken = min(len(data), pipe["free"])
            if len(data) <= 4096 and taken < len(data):
                taken = 0
            pipe["free"] -= taken
            pipe["got"] += data[:taken]
            open_ = not (sent[3].get("eof") and taken == len(data))
            return _StreamAnswer(json.dumps({"ok": True, "bytes": len(data), "written": taken, "stdin_open": open_}))
        terox = self.client(answer)
        text = "ascii " * 3000 + "\u00e9\u2713\U0001F600" * 3000
        result = terox.run(9).write_stdin(text, eof=True)
        self.assertEqual(pipe["got"], text.encode())
        self.assertEqual((result.bytes, result.written, result.stdin_open), (len(text.encode()), len(text.encode()), False))
        # eof goes only with the last piece, however often that is sent.
        eofs = [s[3]["data"].encode() for s in self.sent if s[3].get("eof")]
        self.assertTrue(eofs and all(text.encode().endswith(data) and len(data) <= 4096 for data in eofs), eofs)
        # The ASCII went in long pieces: far fewer writes than 4,096-byte pieces would take.
        self.assertLess(len([s for s in self.sent if s[3]["data"].isascii()]), 5)


if __name__ == "__main__":
    unittest.main()
