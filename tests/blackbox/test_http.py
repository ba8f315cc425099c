"""HTTP as clients speak it: requests framed by their header block and Content-Length
whatever the segments, the size limits, and real client libraries against a real server."""
import json
import os
import socket
import time
import unittest

from tests.blackbox.harness import DEFAULT_AUTH, Instance, Response, json_error, recv_all

# The largest body: room for a command and the other members, and the Base64 text of a
# file of max_file_bytes (8 MiB by default).
BODY_MAX = 196608 + 4 * ((8388608 + 2) // 3)


def exec_request(cmd, agent="framer"):
    body = json.dumps({"cmd": cmd}).encode()
    head = ("POST /api/exec HTTP/1.1\r\nHost: localhost\r\nAuthorization: %s\r\nX-Agent: %s\r\n"
            "Content-Type: application/json\r\nContent-Length: %d\r\n\r\n" % (DEFAULT_AUTH, agent, len(body)))
    return head.encode(), body


class FramingTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.srv = Instance(mode="basic")

    @classmethod
    def tearDownClass(cls):
        cls.srv.cleanup()

    def send_in_pieces(self, pieces, pause):
        self.srv.pace()
        s = self.srv.connect()
        s.settimeout(30)
        try:
            for piece in pieces:
                s.sendall(piece)
                time.sleep(pause)
            return recv_all(s)
        finally:
            s.close()

    def test_body_in_many_segments_with_pauses(self):
        head, body = exec_request("echo split-body")
        pieces = [head] + [body[i:i + 3] for i in range(0, len(body), 3)]
        r = Response(self.send_in_pieces(pieces, 0.15))
        self.assertEqual(r.status, 200, r.raw)
        self.assertEqual(r.json()["stdout"], "split-body\n")

    def test_short_body_is_dropped_after_the_deadline(self):
        head, body = exec_request("echo never")
        before = self.srv.get("/api/health").json()["total_execs"]
        started = time.time()
        raw = self.send_in_pieces([head + body[:-2]], 0)
        self.assertEqual(raw, b"")
        self.assertGreater(time.time() - started, 1.5)
        self.assertLess(time.time() - started, 10)
        self.assertEqual(self.srv.get("/api/health").json()["total_execs"], before)

    def test_client_expecting_100_continue_is_invited_to_send_its_body(self):
        head, body = exec_request("echo invited")
        head = head.replace(b"\r\n\r\n", b"\r\nExpect: 100-continue\r\n\r\n")
        self.srv.pace()
        s = self.srv.connect()
        s.settimeout(10)
        try:
            s.sendall(head)
            interim = b""
            while not interim.endswith(b"\r\n\r\n"):
                interim += s.recv(1)
            self.assertEqual(interim, b"HTTP/1.1 100 Continue\r\n\r\n")
            s.sendall(body)
            r = Response(recv_all(s))
        finally:
            s.close()
        self.assertEqual(r.status, 200, r.raw)
        self.assertEqual(r.json()["stdout"], "invited\n")

    def test_body_over_the_limit_is_refused(self):
        head = ("POST /api/exec HTTP/1.1\r\nAuthorization: %s\r\nContent-Length: %d\r\n\r\n"
                % (DEFAULT_AUTH, BODY_MAX + 1)).encode()
        self.assertEqual(self.send_in_pieces([head], 0),
                         json_error(413, "Content Too Large", "request body too large"))

    def test_body_over_the_limit_sent_anyway_still_gets_its_answer(self):
        # The server answers after the header block and reads the rest away before it closes,
        # so the client that sent everything at once reads the 413 instead of a reset.
        head = ("POST /api/write HTTP/1.1\r\nAuthorization: %s\r\nContent-Length: %d\r\n\r\n"
                % (DEFAULT_AUTH, BODY_MAX + 1)).encode()
        self.assertEqual(self.send_in_pieces([head + b"x" * (BODY_MAX + 1)], 0),
                         json_error(413, "Content Too Large", "request body too large"))

    def test_header_block_over_8_kib_is_refused(self):
        head = "GET /api/health HTTP/1.1\r\nAuthorization: %s\r\nX-Pad: %s\r\n\r\n" % (DEFAULT_AUTH, "p" * 8200)
        self.assertEqual(self.srv.raw(head), json_error(431, "Request Header Fields Too Large",
                                                       "request header block too large"))

    def test_largest_file_write_with_every_byte_escaped(self):
        content = "\n" * 65000
        body = json.dumps({"path": "/tmp/big.txt", "content": content})
        self.assertGreater(len(body), 130000)
        r = self.srv.post("/api/write", body)
        self.assertEqual(r.status, 200, r.raw[:200])
        # Read back through the server: the file is in the agent's workspace where runs are jailed.
        back = self.srv.post("/api/read", json.dumps({"path": "/tmp/big.txt"})).json()
        self.assertEqual((back["size"], back["content"]), (65000, content))


if __name__ == "__main__":
    unittest.main()
