"""Networking inside the jail, through POST /api/exec: each agent's runs share a network
namespace of the agent's own with its loopback up and no route out; the socket families
the filter lets a command make; and the Internet sockets a plain basic server, which
shares the host's network, refuses. Kernel isolation as root and basic isolation with
rootless namespaces as uid 65534 (the same jail); plain basic isolation for the refusals.

Every address a command reaches here is its own loopback. The outside address a command
names (192.0.2.1, a documentation address) has no route in the agent's namespace, so the
connect fails before any packet is made.
"""
import json
import threading
import time
import unittest

from tests.blackbox.harness import Instance

PERMISSIVE = {"policy.conf": "[config]\nprofile=2\n"}

# Serves "from <name>" to each connection on 127.0.0.1:<port> until it has served `count`
# or `seconds` have passed.
SERVE = """
import socket, sys, time
name, port, count, seconds = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), float(sys.argv[4])
s = socket.socket()
s.bind(('127.0.0.1', port))
s.listen(4)
s.settimeout(0.2)
end = time.time() + seconds
while count > 0 and time.time() < end:
    try:
        c, _ = s.accept()
    except socket.timeout:
        continue
    c.sendall(('from ' + name).encode())
    c.close()
    count -= 1
print('served')
"""

# Connects to 127.0.0.1:<port>, retrying for `seconds` only when retry is set, and prints
# what came back or the error's name.
CONNECT = """
import errno, socket, sys, time
port, retry = int(sys.argv[1]), sys.argv[2] == 'retry'
end = time.time() + 5
while True:
    c = socket.socket()
    try:
        c.connect(('127.0.0.1', port))
        print(c.recv(100).decode())
        break
    except OSError as e:
        if not retry or time.time() > end:
            print(errno.errorcode[e.errno])
            break
        time.sleep(0.05)
"""

# The HTTP server of the standard library and a request to it, in one run, on both
# loopback addresses.
HTTP_ROUND_TRIP = """
import http.server, socket, threading, urllib.request
class Server6(http.server.HTTPServer):
    address_family = socket.AF_INET6
for cls, host, url_host in ((http.server.HTTPServer, '127.0.0.1', '127.0.0.1'), (Server6, '::1', '[::1]')):
    server = cls((host, 0), http.server.SimpleHTTPRequestHandler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    with urllib.request.urlopen('http://%s:%d/' % (url_host, server.server_address[1]), timeout=5) as r:
        print(host, r.status)
    server.shutdown()
"""

OUTSIDE = """
import errno, socket, time
started = time.time()
for family, address in ((socket.AF_INET, ('192.0.2.1', 80)), (socket.AF_INET6, ('2001:db8::1', 80))):
    s = socket.socket(family)
    s.settimeout(10)
    try:
        s.connect(address)
        print('connected')
    except OSError as e:
        print(errno.errorcode.get(e.errno, e.errno))
print('fast' if time.time() - started < 2 else 'slow')
"""

FAMILIES = """
import errno, socket
for name, family, kind in (('unix', socket.AF_UNIX, socket.SOCK_STREAM),
                           ('netlink', socket.AF_NETLINK, socket.SOCK_RAW),
                           ('inet', socket.AF_INET, socket.SOCK_DGRAM),
                           ('vsock', 40, socket.SOCK_STREAM),
                           ('packet', 17, socket.SOCK_DGRAM)):
    try:
        socket.socket(family, kind).close()
        print(name, 'made')
    except OSError as e:
        print(name, errno.errorcode[e.errno])
print(socket.if_nameindex())
"""

# The run's network namespace as its /proc names it (the path is split: the command
# screen refuses it written out).
NAMESPACE = "python3 -c 'import os; print(os.readlink(\"/pro\" + \"c/self/ns/net\"))'"


def program(source, *args):
    """A command that runs a Python program given on its standard input."""
    return "python3 - %s <<'X'\n%s\nX" % (" ".join(str(a) for a in args), source.strip("\n"))


class NetworkCases:
    mode = None

    @classmethod
    def setUpClass(cls):
        cls.inst = Instance(mode=cls.mode, files=PERMISSIVE)

    @classmethod
    def tearDownClass(cls):
        cls.inst.cleanup()

    def run_cmd(self, cmd, agent):
        r = self.inst.exec(cmd, agent=agent)
        self.assertEqual(r.status, 200, r.raw[:300])
        return r.json()

    def out(self, cmd, agent="net-a"):
        answer = self.run_cmd(cmd, agent)
        self.assertEqual(answer["exit_code"], 0, answer)
        return answer["stdout"]

    def test_a_server_on_loopback_answers_a_request_of_the_same_run(self):
        out = self.out(program(HTTP_ROUND_TRIP))
        self.assertEqual([line for line in out.splitlines() if not line.startswith(("127.0.0.1 -", "::1 -"))],
                         ["127.0.0.1 200", "::1 200"], out)

    def test_an_agents_runs_share_its_loopback_and_no_other_agent_reaches_it(self):
        served = {}
        server = threading.Thread(target=lambda: served.update(
            out=self.run_cmd(program(SERVE, "net-a", 8765, 2, 20), "net-a")))
        server.start()
        try:
            # A second run of the same agent reaches the first one's server.
            self.assertEqual(self.out(program(CONNECT, 8765, "retry"), "net-a"), "from net-a\n")
            # Another agent's loopback is its own: nothing listens there.
            self.assertEqual(self.out(program(CONNECT, 8765, "once"), "net-b"), "ECONNREFUSED\n")
            self.assertEqual(self.out(program(CONNECT, 8765, "once"), "net-a"), "from net-a\n")
        finally:
            server.join()
        self.assertEqual(served["out"]["stdout"], "served\n", served)
        self.assertLess(served["out"]["duration_ms"], 20000, served)

    def test_an_outside_address_fails_at_once(self):
        self.assertEqual(self.out(program(OUTSIDE)), "ENETUNREACH\nENETUNREACH\nfast\n")

    def test_local_netlink_and_internet_sockets_only_and_loopback_alone(self):
        self.assertEqual(self.out(program(FAMILIES)),
                         "unix made\nnetlink made\ninet made\nvsock EAFNOSUPPORT\npacket EAFNOSUPPORT\n"
                         "[(1, 'lo')]\n")

    def test_each_agent_keeps_one_namespace_until_the_sandbox_reset(self):
        first = self.out(NAMESPACE, "ns-a")
        self.assertTrue(first.startswith("net:["), first)
        self.assertEqual(self.out(NAMESPACE, "ns-a"), first)
        other = self.out(NAMESPACE, "ns-b")
        self.assertNotEqual(other, first)
        r = self.inst.request("DELETE", "/api/sandbox")
        self.assertEqual(r.status, 200, r.raw[:300])
        renewed = self.out(NAMESPACE, "ns-a")
        self.assertNotIn(renewed, (first, other))

    def test_pip_runs_and_a_venv_gets_its_own_pip(self):
        self.assertRegex(self.out("pip --version"), r"^pip \d+\.\d+(\.\d+)? from /usr/lib/python3/dist-packages/pip ")
        out = self.out("python3 -m venv venv && venv/bin/pip --version")
        self.assertRegex(out, r"^pip \d+\.\d+(\.\d+)? from /tmp/venv/lib/python3\.\d+/site-packages/pip ")


class KernelIsolation(NetworkCases, unittest.TestCase):
    mode = "kernel"


class BasicIsolation(NetworkCases, unittest.TestCase):
    mode = "basic"


class PlainBasicIsolation(unittest.TestCase):
    """The host's network: local, netlink and Internet sockets fail with EACCES (they would
    reach the host's services) and nothing is killed."""

    @classmethod
    def setUpClass(cls):
        cls.inst = Instance(mode="plain", files=PERMISSIVE)

    @classmethod
    def tearDownClass(cls):
        cls.inst.cleanup()

    def test_sockets_fail_with_eacces_and_the_rest_as_in_the_jail(self):
        r = self.inst.exec(program(FAMILIES.replace("print(socket.if_nameindex())", "")), agent="plain")
        answer = r.json()
        self.assertEqual(answer["exit_code"], 0, answer)
        self.assertEqual(answer["stdout"],
                         "unix EACCES\nnetlink EACCES\ninet EACCES\nvsock EAFNOSUPPORT\npacket EAFNOSUPPORT\n")
        r = self.inst.exec("pip --version", agent="plain")
        self.assertTrue(r.json()["stdout"].startswith("pip "), r.raw[:300])


if __name__ == "__main__":
    unittest.main()
