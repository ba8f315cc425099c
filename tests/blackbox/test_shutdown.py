"""Orderly shutdown: on SIGTERM or SIGINT the server stops accepting, lets runs in flight
finish for up to ten seconds, then kills them with their process trees, flushes the audit
file and exits 0, leaving no mount and no process behind."""
import json
import os
import signal
import socket
import time
import unittest

from tests.blackbox.harness import DEFAULT_AUTH, Instance, Response, recv_all

PERMISSIVE = {"policy.conf": "[config]\nprofile=2\n"}
# A process outside the server that keeps the instance's mount namespace alive, so its
# mount table can be read after the server has gone.
HOLD_NAMESPACE = "(sleep 300 & echo $! > /mnt/holder.pid)"


def send_exec(srv, cmd, agent="stopper"):
    """Sends a command and returns the socket without waiting for the answer."""
    body = json.dumps({"cmd": cmd})
    data = ("POST /api/exec HTTP/1.1\r\nHost: localhost\r\nAuthorization: %s\r\nX-Agent: %s\r\n"
            "Content-Type: application/json\r\nContent-Length: %d\r\n\r\n%s"
            % (DEFAULT_AUTH, agent, len(body.encode()), body)).encode()
    s = srv.connect()
    s.settimeout(60)
    s.sendall(data)
    return s


def processes_with(marker):
    """Pids whose command line carries marker."""
    found = []
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            with open("/proc/%s/cmdline" % pid, "rb") as f:
                if marker.encode() in f.read():
                    found.append(int(pid))
        except OSError:
            pass
    return found


def wait_for(predicate, timeout=10.0):
    deadline = time.time() + timeout
    while time.time() < deadline:
        if predicate():
            return True
        time.sleep(0.05)
    return predicate()


class ShutdownTest(unittest.TestCase):
    def start(self, mode, **kw):
        srv = Instance(mode=mode, files=PERMISSIVE, extra_setup=HOLD_NAMESPACE, **kw)
        self.addCleanup(srv.cleanup)
        self.addCleanup(self.release_holder, srv)
        return srv

    def release_holder(self, srv):
        try:
            with open(srv.path("holder.pid")) as f:
                os.kill(int(f.read()), signal.SIGKILL)
        except (OSError, ValueError):
            pass

    def jail_mounts(self, srv):
        with open(srv.path("holder.pid")) as f:
            holder = int(f.read())
        with open("/proc/%d/mountinfo" % holder) as f:
            return [line for line in f if "/var/terox/jail" in line]

    def test_a_run_in_flight_finishes_and_its_answer_goes_out(self):
        srv = self.start("kernel")
        # The jail lives in the server's own mount namespace, never in the one it started in.
        self.assertEqual(self.jail_mounts(srv), [])
        with open("/proc/%d/mountinfo" % srv.proc.pid) as f:
            self.assertIn("/var/terox/jail/root/usr", f.read())
        s = send_exec(srv, "sleep 1.7; echo finished-in-time")
        self.assertTrue(wait_for(lambda: processes_with("finished-in-time")))
        srv.proc.send_signal(signal.SIGTERM)
        answer = Response(recv_all(s))
        s.close()
        self.assertEqual(answer.status, 200, answer)
        self.assertEqual(answer.json()["stdout"], "finished-in-time\n")
        self.assertEqual(srv.wait_exit(timeout=20), 0)
        console = srv.console()
        self.assertIn("[Cindervox] Shutting down: no new connections; waiting up to 10 s for 1 run\n", console)
        self.assertIn("[Cindervox] Stopped.\n", console)
        with open(srv.path("log", "audit.log")) as f:
            self.assertIn('EXEC OK "sleep 1.7; echo finished-in-time"', f.read())
        self.assertEqual(self.jail_mounts(srv), [])

    def test_runs_past_ten_seconds_are_killed_with_their_trees(self):
        for mode in ("kernel", "basic"):
            with self.subTest(mode=mode):
                srv = self.start(mode)
                marker = "stuck-%s-%d" % (mode, os.getpid())
                # Two shells under the command's, one of them in a session of its own, out of
                # the command's process group.
                s = send_exec(srv, "sh -c 'sleep 600; : %s' | setsid sh -c 'sleep 600; : %s'" % (marker, marker))
                # The command's shell and the two it started.
                self.assertTrue(wait_for(lambda: len(processes_with(marker)) == 3), processes_with(marker))
                started = time.time()
                srv.proc.send_signal(signal.SIGINT)
                answer = Response(recv_all(s))
                s.close()
                self.assertEqual(srv.wait_exit(timeout=30), 0)
                self.assertGreaterEqual(time.time() - started, 9.5)
                self.assertEqual(answer.status, 200, answer)
                self.assertEqual(answer.json()["exit_code"], 137)
                self.assertIn("[Cindervox] Killed 1 run still going after 10 s\n", srv.console())
                self.assertTrue(wait_for(lambda: processes_with(marker) == [], 5), processes_with(marker))
                self.assertEqual(self.jail_mounts(srv), [])

    def test_no_new_connection_is_taken_while_stopping(self):
        srv = self.start("basic")
        s = send_exec(srv, "sleep 3; echo late")
        self.assertTrue(wait_for(lambda: processes_with("sleep 3; echo late")))
        srv.proc.send_signal(signal.SIGTERM)
        self.assertTrue(srv.wait_console("Shutting down"))
        with self.assertRaises(OSError):
            probe = srv.ns.socket()
            probe.settimeout(2)
            try:
                probe.connect(("127.0.0.1", srv.port))
                probe.sendall(b"GET /api/health HTTP/1.1\r\n\r\n")
                if not probe.recv(1):
                    raise ConnectionResetError("closed")
            finally:
                probe.close()
        self.assertEqual(Response(recv_all(s)).json()["stdout"], "late\n")
        s.close()
        self.assertEqual(srv.wait_exit(timeout=20), 0)

    def test_an_idle_server_stops_at_once(self):
        srv = self.start("basic")
        srv.proc.send_signal(signal.SIGTERM)
        self.assertEqual(srv.wait_exit(timeout=10), 0)
        self.assertIn("[Cindervox] Shutting down: no new connections; waiting up to 10 s for 0 runs\n", srv.console())


if __name__ == "__main__":
    unittest.main()
