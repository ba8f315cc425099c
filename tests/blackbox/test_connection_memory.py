"""Each connection's memory is its own: the largest answers the server builds (the largest
output it keeps on both streams, all control bytes, which JSON escapes six to one; through
/mcp the output goes out twice) leave a neighbouring connection's answer, a queued command
of another agent and its audit entry exactly as they were, and a server whose connection
table is full save one slot builds them in that slot and goes on answering. Each case runs
in kernel isolation and in rootless basic isolation; the agents hold agent tokens only, as
an attacker would."""
import json
import re
import threading
import time
import unittest

from tests.blackbox.harness import DEFAULT_AUTH, Instance, Response, recv_all, request_bytes
from tests.blackbox.test_concurrency import wait_next_second
from tests.blackbox.test_sandbox_escape import token

# The most the server keeps of each stream of one run (max_output_bytes= at its default).
MAX_OUTPUT_BYTES = 1048576

# Every byte a control byte, on both streams: the dearest answer the largest output can make.
CONTROL_BYTES = "head -c %d /dev/zero; head -c %d /dev/zero >&2" % (MAX_OUTPUT_BYTES, MAX_OUTPUT_BYTES)
CONTROL_OUTPUT = "\0" * MAX_OUTPUT_BYTES

# What an attacker prints: zero bytes, then a command of its own, as far as the output goes,
# so that memory written past its connection's end reads as a command to whoever finds it.
ATTACK_ZEROS = 760000
ATTACK_TEXT = "touch /tmp/PWNED;"
ATTACK = ("head -c %d /dev/zero; yes '%s' | tr -d '\\n' | head -c %d"
          % (ATTACK_ZEROS, ATTACK_TEXT, MAX_OUTPUT_BYTES - ATTACK_ZEROS))
ATTACK_OUTPUT = "\0" * ATTACK_ZEROS + (ATTACK_TEXT * MAX_OUTPUT_BYTES)[:MAX_OUTPUT_BYTES - ATTACK_ZEROS]

TOKEN_A = "tok-agent-a-4471"
TOKEN_B = "tok-agent-b-9026"
AGENTS = "agent-a:%s\nagent-b:%s\n" % (TOKEN_A, TOKEN_B)
# Moderate: head, yes, seq and sleep may run.
MODERATE = "[config]\nprofile=1\n"
DEFAULT_MAX_CONNECTIONS = 512
ROUTES = ("/mcp", "/api/exec")
# Ample for every answer here on a loaded machine; a server that has stopped answering
# fails the case after this instead of the harness's half minute.
ANSWER_SECONDS = 10.0

# A command that prints first and then waits: its output lies in its connection's memory
# while another connection's largest answer is built, and is long enough that a clobbered
# stretch of it shows.
SLOW = "echo before-marker; seq 1 2000; sleep 1.5; echo after-marker"
SLOW_OUTPUT = "before-marker\n" + "".join("%d\n" % i for i in range(1, 2001)) + "after-marker\n"


def exec_request(cmd, auth, agent=None):
    headers = {"X-Agent": agent} if agent else None
    return request_bytes("POST", "/api/exec", json.dumps({"cmd": cmd}), headers=headers, auth=auth)


def tool_call_request(cmd, auth):
    body = {"jsonrpc": "2.0", "id": 1, "method": "tools/call",
            "params": {"name": "execute_command", "arguments": {"command": cmd}}}
    return request_bytes("POST", "/mcp", json.dumps(body), auth=auth)


def run_request(route, cmd, auth):
    return tool_call_request(cmd, auth) if route == "/mcp" else exec_request(cmd, auth)


def send(srv, sock, data):
    srv.pace()
    sock.sendall(data)


def read_answers(sockets, timeout=ANSWER_SECONDS):
    """Every socket's whole answer, read side by side (a peer that takes nothing for a while
    is dropped), and each socket closed."""
    answers = [b""] * len(sockets)

    def read(i, s):
        s.settimeout(timeout)
        try:
            answers[i] = recv_all(s)
        except OSError:
            pass
        finally:
            s.close()

    threads = [threading.Thread(target=read, args=(i, s)) for i, s in enumerate(sockets)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout + 5)
    return [Response(a) for a in answers]


def without_duration(r):
    """An exec answer as bytes with its duration_ms left out, and its Content-Length too
    where it is the body's length."""
    body = re.sub(rb'"duration_ms":\d+', b'"duration_ms":_', r.body)
    head = r.head.replace("Content-Length: %d\r\n" % len(r.body), "Content-Length: _\r\n")
    return head.encode() + b"\r\n\r\n" + body


class ConnectionMemoryCases:
    mode = None
    server_uid = None

    def start(self, config=None):
        files = {"policy.conf": MODERATE, "agents": AGENTS}
        if config:
            files["config"] = config
        srv = Instance(mode=self.mode, files=files,
                       extra_setup="chown %d /etc/cindervox/agents; chmod 600 /etc/cindervox/agents" % self.server_uid)
        self.addCleanup(srv.cleanup)
        return srv

    def assert_serving(self, srv):
        """The server still runs and answers GET /api/health."""
        self.assertTrue(srv.alive(), "the server ended with status %s" % srv.proc.returncode)
        try:
            health = srv.get("/api/health", timeout=ANSWER_SECONDS)
        except TimeoutError:
            self.fail("the server no longer answers GET /api/health")
        self.assertEqual(health.status, 200, health)

    def answer(self, srv, data):
        """The answer to one request on a connection of its own."""
        try:
            return Response(srv.raw(data, timeout=ANSWER_SECONDS))
        except TimeoutError:
            self.fail("no whole answer within %d s (server running: %s)" % (ANSWER_SECONDS, srv.alive()))

    def check_run_answer(self, route, r, output, errors=""):
        """r is the whole answer of a run that printed output (and errors on its standard
        error) and ended with 0."""
        self.assertEqual(r.status, 200, r)
        self.assertEqual(int(r.headers["Content-Length"]), len(r.body))
        answer = r.json()
        if route == "/mcp":
            result = answer["result"]
            self.assertIs(result["isError"], False)
            texts = [{"type": "text", "text": output}] + ([{"type": "text", "text": "[stderr]\n" + errors}] if errors else [])
            self.assertEqual(result["content"], texts)
            answer = result["structuredContent"]
        self.assertEqual((answer["stdout"], answer["stderr"]), (output, errors))
        self.assertEqual(answer["exit_code"], 0)

    def test_neighbours_get_the_answers_a_quiet_server_gives(self):
        # B waits for its run, its output so far held by the server; C has sent half of its
        # request. Both answers are compared with the same requests' answers alone.
        half = exec_request("echo sent in two parts", DEFAULT_AUTH, agent="agent-c")
        for route in ROUTES:
            with self.subTest(route=route):
                srv = self.start()
                slow = exec_request(SLOW, "Bearer " + TOKEN_B)
                quiet_b, quiet_c = self.answer(srv, slow), self.answer(srv, half)
                self.check_run_answer("/api/exec", quiet_b, SLOW_OUTPUT)
                self.check_run_answer("/api/exec", quiet_c, "sent in two parts\n")
                # Connected in this order, A's memory lies just below C's, and C's below B's.
                a, c, b = srv.connect(), srv.connect(), srv.connect()
                send(srv, b, slow)
                send(srv, c, half[:len(half) // 2])
                time.sleep(0.4)
                send(srv, a, run_request(route, CONTROL_BYTES, "Bearer " + TOKEN_A))
                self.check_run_answer(route, read_answers([a])[0], CONTROL_OUTPUT, CONTROL_OUTPUT)
                c.sendall(half[len(half) // 2:])
                neighbour_b, neighbour_c = read_answers([b, c])
                self.assertEqual(without_duration(neighbour_b), without_duration(quiet_b))
                self.assertEqual(without_duration(neighbour_c), without_duration(quiet_c))
                self.assert_serving(srv)

    def check_last_free_connection(self, max_connections):
        """The largest answers, each built while every other connection of the table is
        held open and silent, and the server answering afterwards."""
        # One address fills the whole table here, so its share is the whole table.
        config = "max_connections_per_peer=%d\n" % max_connections
        if max_connections != DEFAULT_MAX_CONNECTIONS:
            config += "max_connections=%d\n" % max_connections
        for route in ROUTES:
            with self.subTest(route=route):
                srv = self.start(config)
                idle = srv.idle_connections(max_connections - 1)
                try:
                    largest = self.answer(srv, run_request(route, CONTROL_BYTES, "Bearer " + TOKEN_A))
                    self.check_run_answer(route, largest, CONTROL_OUTPUT, CONTROL_OUTPUT)
                    # The oldest silent peer is still held, so every one was when the run's
                    # request came: it had the table's last connection.
                    idle[0].setblocking(False)
                    with self.assertRaises(BlockingIOError, msg="idle connections were dropped too early"):
                        idle[0].recv(1)
                finally:
                    for s in idle:
                        s.close()
                self.assert_serving(srv)

    def test_largest_answers_in_the_last_of_sixteen_connections(self):
        self.check_last_free_connection(16)

    def test_largest_answers_in_the_last_of_the_default_connections(self):
        self.check_last_free_connection(DEFAULT_MAX_CONNECTIONS)

    def test_queued_command_of_another_agent_runs_unchanged(self):
        # Seven fillers and A take the eight run slots; B waits in the queue, its command in
        # its own connection's memory, while A's answer is built.
        self.maxDiff = None
        for route in ROUTES:
            with self.subTest(route=route):
                srv = self.start()
                mark = token()
                own = "echo queued-%s" % mark
                fillers = [srv.connect() for _ in range(7)]
                a, b = srv.connect(), srv.connect()
                wait_next_second()
                for i, s in enumerate(fillers):
                    send(srv, s, exec_request("sleep 2", DEFAULT_AUTH, agent="filler%d" % i))
                time.sleep(0.1)
                send(srv, a, run_request(route, "sleep 0.5; " + ATTACK, "Bearer " + TOKEN_A))
                time.sleep(0.1)
                send(srv, b, exec_request(own, "Bearer " + TOKEN_B))
                answers = read_answers(fillers + [a, b])
                for r in answers[:7]:
                    self.check_run_answer("/api/exec", r, "")
                self.check_run_answer(route, answers[7], ATTACK_OUTPUT)
                entries = srv.get("/api/audit").json()["entries"]
                runs = [e for e in entries if "[agent-a] EXEC" in e or "[agent-b] EXEC" in e]
                self.assertEqual(len(runs), 2, entries)
                self.assertIn("[agent-a] EXEC", runs[0], "B did not wait for A's run: %r" % entries)

                # What B got, what the audit says B ran, and what B's workspace holds, in one
                # comparison, so that a failure shows all three.
                own_entries = srv.get("/api/audit?agent=agent-b").json()["entries"]
                listing = self.answer(srv, exec_request("ls -a /tmp", "Bearer " + TOKEN_B))
                self.assertEqual(listing.status, 200, listing)
                seen = {"answer": without_duration(answers[8]).partition(b"\r\n\r\n")[2],
                        "audit": [re.sub(r"^\[\d+\] (.*) dur=\d+ms", r"\1", e) for e in own_entries],
                        "PWNED in B's workspace": "PWNED" in listing.json()["stdout"]}
                self.assertEqual(seen, {
                    "answer": (b'{"ok":true,"stdout":"queued-%s\\n","stderr":"","exit_code":0,"duration_ms":_,"stdout_bytes":%d,'
                               b'"stderr_bytes":0,"stdout_truncated":false,"stderr_truncated":false}'
                               % (mark.encode(), len("queued-%s\n" % mark))),
                    "audit": ['[agent-b] EXEC OK "%s" exit=0 profile=moderate\n' % own],
                    "PWNED in B's workspace": False})
                self.assert_serving(srv)


class KernelConnectionMemory(ConnectionMemoryCases, unittest.TestCase):
    mode = "kernel"
    server_uid = 0


class BasicConnectionMemory(ConnectionMemoryCases, unittest.TestCase):
    mode = "basic"
    server_uid = 65534


if __name__ == "__main__":
    unittest.main()


class ConnectionBudgetTest(unittest.TestCase):
    """All connections' memory together is bounded (connection_memory_mb=): a body that
    would take the server past it is refused with 503 and Retry-After as soon as its header
    has come, while small requests go on; once the large ones have gone, a large one is
    taken again."""

    BODY = 11000000

    def large_head(self):
        return ("POST /api/write HTTP/1.1\r\nHost: localhost\r\nAuthorization: %s\r\n"
                "Content-Type: application/json\r\nContent-Length: %d\r\n\r\n" % (DEFAULT_AUTH, self.BODY)).encode()

    def test_large_bodies_past_the_budget_are_answered_busy(self):
        with Instance(mode="basic", files={"config": "connection_memory_mb=64\n"}) as srv:
            held = []
            for _ in range(8):
                s = srv.connect()
                s.sendall(self.large_head() + b'{"path":"/tmp/big","content":"')
                held.append(s)
            time.sleep(0.5)
            busy = []
            for s in held:
                s.settimeout(0.3)
                try:
                    busy.append(s.recv(4096))
                except TimeoutError:
                    busy.append(b"")
            refused = [b for b in busy if b]
            # Five buffers of 11 MB fit within 64 MiB beside the small ones; the rest wait.
            self.assertGreaterEqual(len(refused), 2, busy)
            for answer in refused:
                r = Response(answer)
                self.assertEqual(r.status, 503, answer[:300])
                self.assertIn("Retry-After: 1", r.head)
                self.assertIn("server busy", r.json()["error"])
            self.assertEqual(srv.get("/api/health").status, 200)
            for s in held:
                s.close()
            time.sleep(0.3)
            content = "x" * 3000000
            r = srv.post("/api/write", json.dumps({"path": "/tmp/big", "content": content}))
            self.assertEqual((r.status, r.json()["bytes_written"]), (200, len(content)), r.raw[:300])
