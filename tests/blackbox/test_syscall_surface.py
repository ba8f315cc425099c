"""The kernel surface a command reaches, in every mode: kernel isolation, basic isolation
with rootless namespaces, and plain basic isolation (no user namespaces).

The static probe (tests/probe/syscall_probe.cpp, built as syscall_probe) tries each call a
command must not make under each ABI and prints one line per call; its own filter stops
a call that got past the command's, so nothing it tries runs, on the host or in a run.
Run on the host first, it shows that its answers tell the calls apart there ("allowed");
in a run, namespaces, mounts, host names, userfaultfd, memfd_secret, bpf,
perf_event_open and personality changes must fail with EPERM, clone3 with ENOSYS, and
every x32 and i386 call must kill the command. Sockets of the local, Internet and netlink
families get past the filter, and so do the calls on a socket, except that Internet
sockets fail with EACCES where the command shares the host's network (plain basic mode);
every other family fails with EAFNOSUPPORT.

The probe reaches the run's /tmp through POST /api/write as base64 text (the jail shows
the host's /usr, not the build directory) and is decoded there by the command.
"""
import base64
import os
import subprocess
import unittest

from tests.blackbox.harness import Instance, binary

PERMISSIVE = {"policy.conf": "[config]\nprofile=2\n"}
# The file route keeps at most this many bytes of content.
WRITE_LIMIT = 65000

REFUSED = ("unshare", "setns", "clone-newns", "clone-newcgroup", "clone-newuts", "clone-newipc",
           "clone-newuser", "clone-newpid", "clone-newnet", "clone-newtime", "mount", "umount2",
           "pivot_root", "fsopen", "fsconfig", "fsmount", "fspick", "open_tree", "move_mount",
           "mount_setattr", "sethostname", "setdomainname", "userfaultfd", "memfd_secret", "bpf",
           "perf_event_open", "personality-set")
SOCKET_CALLS = ("socketpair-unix", "connect", "bind", "listen", "accept4", "sendto", "recvfrom",
                "sendmsg", "recvmsg")
# Sockets that would reach the host's services from its network: refused there.
HOST_REACHING = ("socket-unix", "socket-netlink")
INTERNET_SOCKETS = ("socket-inet", "socket-inet6")
OTHER_FAMILIES = ("socket-packet", "socket-vsock", "socketpair-vsock")
OTHER_ABI_CALLS = ("getpid", "unshare", "setns", "clone-newuser", "mount", "fsopen", "bpf",
                   "personality-set", "socket-inet")


def x86_64_expected(host_network):
    """The probe's x86-64 answers in a run; on the host's network only a local pair is made."""
    return dict([(name, "EPERM") for name in REFUSED]
                + [("clone3", "ENOSYS"), ("clone-thread", "allowed"), ("personality-read", "allowed")]
                + [(name, "allowed") for name in SOCKET_CALLS]
                + [(name, "EACCES" if host_network else "allowed") for name in INTERNET_SOCKETS + HOST_REACHING]
                + [(name, "EAFNOSUPPORT") for name in OTHER_FAMILIES])


def parse(output):
    """{abi: {call: outcome}} from the probe's lines."""
    table = {}
    for line in output.splitlines():
        abi, call, outcome = line.split(" ", 2)
        table.setdefault(abi, {})[call] = outcome
    return table


def host_answers():
    out = subprocess.run([binary("syscall_probe")], stdout=subprocess.PIPE, check=True).stdout
    return parse(out.decode())


class SurfaceCases:
    mode = None

    @classmethod
    def setUpClass(cls):
        cls.host = host_answers()
        cls.inst = Instance(mode=cls.mode, files=PERMISSIVE)
        with open(binary("syscall_probe"), "rb") as f:
            encoded = base64.b64encode(f.read())
        if len(encoded) > WRITE_LIMIT:
            raise RuntimeError("the probe no longer fits one file write: %d bytes" % len(encoded))
        body = b'{"path":"/tmp/syscall_probe.b64","content":"' + encoded + b'"}'
        r = cls.inst.post("/api/write", body, headers={"X-Agent": "prober"})
        if r.status != 200:
            cls.inst.cleanup()
            raise RuntimeError("probe upload failed: %r" % r.raw[:300])
        out = cls.run_cmd("base64 -d syscall_probe.b64 > syscall_probe && chmod 700 syscall_probe && ./syscall_probe")
        cls.exit_code = out["exit_code"]
        cls.jailed = parse(out["stdout"])

    @classmethod
    def tearDownClass(cls):
        cls.inst.cleanup()

    @classmethod
    def run_cmd(cls, cmd):
        r = cls.inst.post("/api/exec", b'{"cmd":"' + cmd.encode() + b'"}', headers={"X-Agent": "prober"})
        if r.status != 200:
            raise AssertionError(r.raw[:300])
        return r.json()

    def test_probe_tells_the_calls_apart_on_the_host(self):
        # Unfiltered, every call gets past (clone3 reaches the kernel's EINVAL); only an
        # i386 call may fault instead, on a kernel without ia32 emulation.
        self.assertEqual(self.host["x86-64"], dict((name, "allowed") for name in x86_64_expected(False)))
        self.assertEqual(self.host["x32"], dict((name, "allowed") for name in OTHER_ABI_CALLS))
        self.assertIn(set(self.host["i386"].values()), ({"allowed"}, {"signal 11"}))

    def test_refused_calls_fail_with_their_errno_and_socket_calls_get_past(self):
        self.assertEqual(self.exit_code, 0)
        self.assertEqual(self.jailed["x86-64"], x86_64_expected(self.mode == "plain"))

    def test_every_x32_call_kills_the_command(self):
        self.assertEqual(self.jailed["x32"], dict((name, "killed") for name in OTHER_ABI_CALLS))

    def test_every_i386_call_kills_the_command(self):
        if set(self.host["i386"].values()) != {"allowed"}:
            self.skipTest("this kernel runs without ia32 emulation: int 0x80 faults")
        self.assertEqual(self.jailed["i386"], dict((name, "killed") for name in OTHER_ABI_CALLS))

    def test_threads_start_through_the_clone_fallback(self):
        # The C library asks clone3 first and takes clone on ENOSYS; so do the tools that
        # start threads or namespaces, which report the refusal and carry on.
        program = ("import threading; t = threading.Thread(target=print, args=(\\\"thread\\\",)); "
                   "t.start(); t.join()")
        out = self.run_cmd("python3 -c '%s'; unshare --user true; echo $?" % program)
        self.assertEqual(out["exit_code"], 0, out)
        lines = out["stdout"].splitlines()
        self.assertEqual(lines[0], "thread")
        self.assertIn("Operation not permitted", out["stderr"])
        self.assertEqual(lines[-1], "1")


class KernelIsolation(SurfaceCases, unittest.TestCase):
    mode = "kernel"


class BasicIsolation(SurfaceCases, unittest.TestCase):
    mode = "basic"


class PlainBasicIsolation(SurfaceCases, unittest.TestCase):
    mode = "plain"


if __name__ == "__main__":
    unittest.main()
