"""Escape attempts against the sandbox runner, through POST /api/exec, in kernel isolation
(server as root: namespaces, jail, a uid per agent from 60000) and basic isolation (server
as uid 65534, which on these machines gives each run rootless namespaces and the same jail).

Each attempt is made the way a hostile command would make it and must fail; the test then
checks from the host's side that nothing leaked: no process left running, no mount
propagated, the server alive. Commands are sent as raw bytes: the server takes the bytes
between the quotes as they are, so a line feed in a command reaches the shell as a line
feed, which lets a command carry a small Python program in a here-document.

Commands avoid the screened texts (parent-directory dots, the proc path, command
substitution) by building such strings at run time. The strict instances keep the default
policy (python3 is whitelisted) and the 5000 ms time-out; the permissive ones use profile 2.
"""
import os
import random
import re
import signal
import subprocess
import sys
import threading
import time
import unittest

from tests.blackbox.harness import Instance

PERMISSIVE = {"policy.conf": "[config]\nprofile=2\n"}
STRICT_TIMEOUT_MS = 5000
# Basic mode sets no process limit (its commands share the server's uid). The basic-mode
# fork bomb therefore runs under a server of a uid of its own, capped by its environment,
# so that it cannot take this shared machine, or other servers of uid 65534, down with it.
BOMB_UID = 64999
BOMB_PROCESS_CAP = "ulimit -p 48"

# The jail's root: the system trees the host has, and the jail's own places.
JAIL_LISTING = sorted([n for n in ("bin", "sbin", "lib", "lib64") if os.path.lexists("/" + n)]
                      + ["dev", "etc", "proc", "tmp", "usr"])


def token():
    return str(random.randint(10 ** 8, 10 ** 9 - 1))


def processes_with(text):
    """Host pids whose command line contains text."""
    needle = text.encode()
    found = []
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            with open("/proc/%s/cmdline" % name, "rb") as f:
                if needle in f.read():
                    found.append(int(name))
        except OSError:
            pass
    return [p for p in found if p != os.getpid()]


def kill_leftovers(text):
    for pid in processes_with(text):
        try:
            os.kill(pid, signal.SIGKILL)
        except OSError:
            pass


def proc_status(pid):
    fields = {}
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            key, _, value = line.partition(":")
            fields[key] = value.strip()
    return fields


def host_supports_int80():
    """int 0x80 from a 64-bit process needs the kernel's ia32 emulation; without it the
    instruction faults (SIGSEGV) before any filter could see the call."""
    probe = ("import ctypes, mmap\n"
             "m = mmap.mmap(-1, 4096, prot=7)\n"
             "m.write(bytes([0xb8, 20, 0, 0, 0, 0xcd, 0x80, 0xc3]))\n"
             "ctypes.CFUNCTYPE(ctypes.c_long)(ctypes.addressof(ctypes.c_char.from_buffer(m)))()\n")
    return subprocess.run([sys.executable, "-c", probe]).returncode == 0


def heredoc(program):
    return "python3 - <<'X'\n" + program.strip("\n") + "\nX"


# Aims kill, tgkill, pidfd_open and prlimit at a pid and prints each call's errno.
SERVER_PROBE = """
import ctypes, os, resource
pid = %d
libc = ctypes.CDLL(None, use_errno=True)
def tgkill():
    if libc.syscall(234, pid, pid, 9) != 0:
        raise OSError(ctypes.get_errno(), 'tgkill')
for name, call in [('kill', lambda: os.kill(pid, 9)), ('tgkill', tgkill),
                   ('pidfd', lambda: os.pidfd_open(pid)),
                   ('prlimit', lambda: resource.prlimit(pid, resource.RLIMIT_NOFILE, (0, 0)))]:
    try:
        call()
        print(name, 'allowed')
    except OSError as e:
        print(name, e.errno)
"""


class Sandbox:
    """Helpers shared by both modes; `strict` and `permissive` are the class's instances."""

    mode = None
    strict = None
    permissive = None
    extra_setup = ""

    @classmethod
    def setUpClass(cls):
        cls.strict = Instance(mode=cls.mode, extra_setup=cls.extra_setup)
        cls.permissive = Instance(mode=cls.mode, files=PERMISSIVE, extra_setup=cls.extra_setup)

    @classmethod
    def tearDownClass(cls):
        for inst in (cls.strict, cls.permissive):
            if inst:
                inst.cleanup()

    def setUp(self):
        self.tokens = []
        self.agent = "t" + token()  # the audit report is filtered by it

    def tearDown(self):
        for t in self.tokens:
            kill_leftovers(t)

    def new_token(self):
        t = token()
        self.tokens.append(t)
        return t

    def run_cmd(self, cmd, inst=None):
        inst = inst or self.permissive
        self.assertNotIn('"', cmd)
        r = inst.post("/api/exec", b'{"cmd":"' + cmd.encode() + b'"}', headers={"X-Agent": self.agent})
        self.assertEqual(r.status, 200, r.raw[:300])
        return r.json()

    def agent_uid(self, inst=None):
        """The uid of this test's agent: 60000 plus its registry slot (the agents report's order)."""
        names = [a["name"] for a in (inst or self.permissive).get("/api/agents").json()["agents"]]
        return 60000 + names.index(self.agent)

    def audit_lines(self, inst):
        r = inst.get("/api/audit?agent=" + self.agent)
        self.assertEqual(r.status, 200)
        return r.json()["entries"]

    def health(self, inst):
        r = inst.get("/api/health")
        self.assertEqual(r.status, 200)
        return r.json()

    def assert_alive(self, inst):
        self.assertTrue(inst.alive())
        self.assertEqual(self.run_cmd("echo alive", inst)["stdout"], "alive\n")


class EscapeCases(Sandbox):
    """Attempts that must fail the same way in both modes."""

    def test_exit_codes_report_signals(self):
        self.assertEqual(self.run_cmd("exit 3")["exit_code"], 3)
        self.assertEqual(self.run_cmd("kill -9 $$")["exit_code"], 137)
        self.assertEqual(self.run_cmd("kill -11 $$")["exit_code"], 139)

    def test_pipelines_end_by_broken_pipe_as_usual(self):
        # The server ignores SIGPIPE for itself; a command must get the default back, or
        # "yes" would report a write error instead of ending quietly.
        out = self.run_cmd("yes | head -2")
        self.assertEqual(out["stdout"], "y\ny\n")
        self.assertEqual(out["exit_code"], 0)

    def test_a_call_of_the_kill_list_ends_the_run_and_is_named(self):
        # ptrace with a request the kernel would refuse (-1), from a process in the
        # background of a run that would otherwise last ten seconds: the whole run ends at
        # once, and the answer names the call.
        before = self.health(self.permissive)
        ptrace = "python3 -c 'import ctypes; ctypes.CDLL(None).syscall(101, -1, 0, 0, 0); print(1)'"
        out = self.run_cmd(ptrace + " & sleep 10; echo survived")
        self.assertEqual((out["exit_code"], out["killed_by"], out["call"]), (159, "seccomp", "ptrace"), out)
        self.assertNotIn("survived", out["stdout"])
        self.assertLess(out["duration_ms"], 5000, out)
        # process_vm_readv(0, NULL, 0, NULL, 0, 0) as the shell's last command.
        out = self.run_cmd("exec python3 -c 'import ctypes; ctypes.CDLL(None).syscall(310, 0, 0, 0, 0, 0, 0)'")
        self.assertEqual((out["exit_code"], out["call"]), (159, "process_vm_readv"), out)
        blocks = [e for e in self.audit_lines(self.permissive) if " BLOCK SECCOMP " in e]
        self.assertEqual(len(blocks), 2, blocks)
        self.assertTrue(all("exit=159" in e for e in blocks), blocks)
        after = self.health(self.permissive)
        self.assertEqual(after["blocked_cmds"] - before["blocked_cmds"], 2)
        self.assertEqual(after["total_execs"] - before["total_execs"], 2)
        self.assert_alive(self.permissive)

    def test_local_sockets_work_and_other_families_are_unsupported(self):
        program = """
import errno, os, socket
try:
    server = socket.socket(socket.AF_UNIX)
except OSError as e:
    # On the host's network a socket file would reach the host's services; a pair may be made.
    print(errno.errorcode[e.errno])
    client, peer = socket.socketpair()
else:
    server.bind('local.sock')
    server.listen(1)
    client = socket.socket(socket.AF_UNIX)
    client.connect('local.sock')
    peer, _ = server.accept()
    os.unlink('local.sock')
client.sendall(b'over a local socket')
print(peer.recv(100).decode())
for family in (40, 17, 38):  # vsock, packet, alg
    try:
        socket.socket(family, socket.SOCK_DGRAM)
    except OSError as e:
        print(errno.errorcode[e.errno])
"""
        out = self.run_cmd(heredoc(program))
        refused = "EACCES\n" if self.mode == "plain" else ""
        self.assertEqual(out["stdout"], refused + "over a local socket\nEAFNOSUPPORT\nEAFNOSUPPORT\nEAFNOSUPPORT\n", out)
        self.assertEqual(out["exit_code"], 0)
        self.assertEqual(self.run_cmd("ls -la /usr/bin/env")["exit_code"], 0)
        self.assertEqual(self.run_cmd("id")["exit_code"], 0)

    def test_module_and_kexec_calls_kill_the_process(self):
        # finit_module(-1, "", 0) and kexec_file_load(-1, -1, 0, "", 0): harmless arguments.
        for call, name in (("313, -1, None, 0", "finit_module"), ("320, -1, -1, 0, None, 0", "kexec_file_load")):
            out = self.run_cmd("python3 -c 'import ctypes; ctypes.CDLL(None).syscall(%s); print(1)'" % call)
            self.assertEqual((out["exit_code"], out["call"], out["stdout"]), (159, name, ""), out)

    def test_keys_do_not_outlive_a_run_or_cross_agents(self):
        # add_key("user", name, payload, 5, KEY_SPEC_USER_KEYRING), then request_key by a
        # second agent in a later run.
        program = """
import ctypes
libc = ctypes.CDLL(None, use_errno=True)
for name, args in [('add_key', (248, b'user', b'cvx-secret', b'hello', 5, -4)),
                   ('request_key', (249, b'user', b'cvx-secret', None, -4)),
                   ('keyctl', (250, 0, -4, 0))]:
    result = libc.syscall(*args)
    print(name, result, ctypes.get_errno())
"""
        first = self.run_cmd(heredoc(program))
        self.agent = "other" + token()
        second = self.run_cmd(heredoc(program))
        self.assertEqual(first["stdout"], "add_key -1 1\nrequest_key -1 1\nkeyctl -1 1\n")
        self.assertEqual(second["stdout"], first["stdout"])

    def test_x32_call_kills_the_process(self):
        program = """
import ctypes, mmap
m = mmap.mmap(-1, 4096, prot=mmap.PROT_READ | mmap.PROT_WRITE | mmap.PROT_EXEC)
m.write(bytes([0xb8, 0x27, 0x00, 0x00, 0x40, 0x0f, 0x05, 0xc3]))
result = ctypes.CFUNCTYPE(ctypes.c_long)(ctypes.addressof(ctypes.c_char.from_buffer(m)))()
print('survived', result)
"""
        out = self.run_cmd(heredoc(program))
        self.assertEqual(out["exit_code"], 159, out)
        self.assertNotIn("survived", out["stdout"])

    def test_32bit_socket_call_kills_the_process(self):
        if not host_supports_int80():
            self.skipTest("this kernel runs without ia32 emulation: int 0x80 faults")
        # push rbx; socket(AF_INET, SOCK_STREAM, 0) as i386 call 359; pop rbx; ret
        program = """
import ctypes, mmap
m = mmap.mmap(-1, 4096, prot=mmap.PROT_READ | mmap.PROT_WRITE | mmap.PROT_EXEC)
m.write(bytes([0x53, 0xbb, 2, 0, 0, 0, 0xb9, 1, 0, 0, 0, 0x31, 0xd2,
               0xb8, 0x67, 0x01, 0, 0, 0xcd, 0x80, 0x5b, 0xc3]))
result = ctypes.CFUNCTYPE(ctypes.c_long)(ctypes.addressof(ctypes.c_char.from_buffer(m)))()
print('survived', result)
"""
        out = self.run_cmd(heredoc(program))
        self.assertEqual(out["exit_code"], 159, out)
        self.assertNotIn("survived", out["stdout"])

    def test_only_the_standard_descriptors_reach_the_command(self):
        program = """
import os
writable = []
for fd in range(3, 21):
    try:
        os.write(fd, b'x')
        writable.append(fd)
    except OSError:
        pass
print('writable', writable)
print('stdin', len(os.read(0, 100)))
"""
        out = self.run_cmd(heredoc(program))
        self.assertEqual(out["stdout"], "writable []\nstdin 0\n")
        self.assertEqual(self.run_cmd("wc -c")["stdout"].strip(), "0")

    def test_no_descriptor_of_the_filter_reaches_the_command(self):
        # Neither the filter's listener nor the socket that carried it to the server: the
        # command holds its three standard descriptors, and the listing its own.
        program = """
import os
print(sorted(int(fd) for fd in os.listdir('/pro' + 'c/self/fd')))
"""
        out = self.run_cmd(heredoc(program))
        self.assertEqual(out["stdout"], "[0, 1, 2, 3]\n", out)

    def test_confinement_is_in_place_while_the_command_runs(self):
        mark = self.new_token()
        result = {}
        inst = self.permissive
        self.run_cmd("true", inst)
        self.uid = self.agent_uid(inst)
        worker = threading.Thread(target=lambda: result.update(
            out=self.run_cmd("python3 -c 'import time; time.sleep(3); mark=%s'" % mark, inst)))
        worker.start()
        try:
            pid = self.wait_for_process("python3", mark)
            status = proc_status(pid)
            self.check_running_command(pid, status, inst)
        finally:
            worker.join()
        self.assertEqual(result["out"]["exit_code"], 0)

    def wait_for_process(self, program, mark):
        deadline = time.time() + 5
        while time.time() < deadline:
            for pid in processes_with(mark):
                try:
                    with open("/proc/%d/cmdline" % pid, "rb") as f:
                        if f.read().startswith(program.encode()):
                            return pid
                except OSError:
                    pass
            time.sleep(0.02)
        self.fail("the command's process never appeared")

    def check_running_command(self, pid, status, inst):
        self.assertEqual(status["NoNewPrivs"], "1")
        self.assertEqual(status["Seccomp"], "2")
        self.assertEqual(status["CapEff"], "0000000000000000")
        self.assertNotEqual(status["PPid"], str(inst.server_pid()))  # the shell sits between

    def test_chroot_escape_fails(self):
        # The classic way out: chroot into a subdirectory, climb, look. A command that is
        # not root gains chroot in a user namespace of its own; the run's namespace holds
        # the jail alone, so the climb ends at the jail's root either way.
        program = """
import ctypes, os
if os.getuid() != 0:
    ctypes.CDLL(None, use_errno=True).unshare(0x10000000)
try:
    os.mkdir('cage')
    os.chroot('cage')
    print('chrooted')
except OSError as e:
    print('chroot', e.errno)
for i in range(30):
    os.chdir(os.pardir)
print(sorted(os.listdir(os.curdir)))
"""
        out = self.run_cmd(heredoc(program))
        self.assertIn(out["stdout"], ("chrooted\n%r\n" % JAIL_LISTING, "chroot 1\n%r\n" % JAIL_LISTING))

    def test_server_and_init_memory_are_closed_to_the_command(self):
        # The server is not in the run's /proc at all; the jail's init shares the server's
        # memory, so its files must stay closed although it is the command's parent's parent.
        program = """
import os
for who in ['%d', '1']:
    base = '/pro' + 'c/' + who + '/'
    for name in ['mem', 'environ', 'fd']:
        try:
            if name == 'fd':
                os.listdir(base + name)
            else:
                open(base + name, 'rb').read(1)
            print(name, 'open')
        except OSError as e:
            print(name, e.errno)
""" % self.permissive.proc.pid
        out = self.run_cmd(heredoc(program))
        self.assertEqual(out["stdout"], "mem 2\nenviron 2\nfd 2\nmem 13\nenviron 13\nfd 13\n")

    def test_output_flood_keeps_the_first_bytes_and_the_server(self):
        started = time.time()
        out = self.run_cmd("python3 -c 'import sys; w = sys.stdout.buffer.write; "
                           "[w(bytes([120]) * (1 << 20)) for i in range(200)]'", self.strict)
        self.assertLess(time.time() - started, STRICT_TIMEOUT_MS / 1000)
        self.assertEqual(out["exit_code"], 0)
        # The first and last half MiB, and one line in between that says what was left out.
        total = 200 << 20
        self.assertEqual((out["stdout_bytes"], out["stdout_truncated"]), (total, True))
        self.assertEqual(out["stdout"], "x" * (1 << 19) + "\n[... %d bytes omitted ...]\n" % (total - (1 << 20)) + "x" * (1 << 19))
        self.assert_alive(self.strict)

    def test_never_ending_command_is_killed_at_the_time_out(self):
        mark = self.new_token()
        before = self.health(self.strict)
        started = time.time()
        out = self.run_cmd("python3 -c 'import time; time.sleep(60); mark=%s'" % mark, self.strict)
        elapsed = time.time() - started
        self.assertEqual(out["exit_code"], 137)
        self.assertGreaterEqual(out["duration_ms"], STRICT_TIMEOUT_MS)
        self.assertLess(out["duration_ms"], STRICT_TIMEOUT_MS + 1500)
        self.assertLess(elapsed, STRICT_TIMEOUT_MS / 1000 + 2)
        self.assertEqual(processes_with(mark), [])
        entry = [e for e in self.audit_lines(self.strict) if mark in e][-1]
        self.assertRegex(entry, r'\] EXEC TIMEOUT ".*" exit=137 dur=5\d\d\dms profile=strict\n$')
        after = self.health(self.strict)
        self.assertEqual(after["total_execs"] - before["total_execs"], 1)
        self.assertEqual(after["blocked_cmds"], before["blocked_cmds"])

    def test_duration_is_measured_in_milliseconds(self):
        out = self.run_cmd("python3 -c 'import time; time.sleep(0.3)'")
        self.assertGreaterEqual(out["duration_ms"], 300)
        self.assertLess(out["duration_ms"], 3000)
        entry = [e for e in self.audit_lines(self.permissive) if "time.sleep(0.3)" in e][-1]
        self.assertIn(" dur=%dms" % out["duration_ms"], entry)

    def test_memory_bomb_fails_inside_the_command(self):
        out = self.run_cmd("python3 -c 'x = bytearray(1 << 30)'", self.strict)
        self.assertEqual(out["exit_code"], 1)
        self.assertIn("MemoryError", out["stderr"])
        self.assert_alive(self.strict)

    def fork_bomb_instance(self):
        return self.strict

    def test_fork_bomb_is_contained_and_cleaned_up(self):
        inst = self.fork_bomb_instance()
        mark = self.new_token()
        started = time.time()
        out = self.run_cmd("python3 -c 'import os; mark=%s; [os.fork() for i in iter(int, 1)]'" % mark, inst)
        self.assertLess(time.time() - started, STRICT_TIMEOUT_MS / 1000 + 3)
        self.assertIn(out["exit_code"], (1, 137), out)
        self.assertEqual(processes_with(mark), [])
        self.assert_alive(inst)

    def test_background_and_detached_processes_end_with_the_run(self):
        marks = [self.new_token() for _ in range(4)]
        program = """
import os, subprocess
subprocess.Popen(['sleep', '%s'])
subprocess.Popen(['sleep', '%s'], start_new_session=True)
if os.fork() == 0:
    os.setsid()
    if os.fork() == 0:
        os.execvp('sleep', ['sleep', '%s'])
    os._exit(0)
if os.fork() == 0:
    os.close(1)
    os.close(2)
    os.execvp('sleep', ['sleep', '%s'])
print('started')
""" % tuple(marks)
        started = time.time()
        out = self.run_cmd(heredoc(program))
        self.assertLess(time.time() - started, 3)
        self.assertEqual(out["stdout"], "started\n")
        for mark in marks:
            self.assertEqual(processes_with(mark), [], "sleep %s outlived its run" % mark)


class KernelIsolation(EscapeCases, unittest.TestCase):
    mode = "kernel"

    def test_memory_bomb_fails_inside_the_command(self):
        # The run's memory group bounds it, not an address-space cap: the allocation is
        # made, and the run ends as out of memory once its pages pass the group's bound.
        out = self.run_cmd("python3 -c 'x = bytearray(1 << 30)'", self.strict)
        self.assertEqual(out["exit_code"], 137, out)
        self.assertIn(" EXEC MEMORY_LIMIT ", self.audit_lines(self.strict)[-1])
        self.assert_alive(self.strict)

    def test_command_runs_as_its_agents_uid(self):
        out = self.run_cmd("python3 -c 'import os; print(os.getuid(), os.getgid(), os.getgroups())'")
        uid = self.agent_uid()
        self.assertEqual(out["stdout"], "%d %d []\n" % (uid, uid))

    def test_read_only_binds_stay_read_only(self):
        # A bind of the host's /usr/bin made writable again would write the host's files.
        probe = "/usr/bin/cvx-probe-" + self.new_token()
        self.addCleanup(lambda: os.path.exists(probe) and os.unlink(probe))
        program = """
import ctypes, os
libc = ctypes.CDLL(None, use_errno=True)
MS_REMOUNT, MS_BIND = 32, 4096
r = libc.mount(None, b'/usr/bin', None, MS_REMOUNT | MS_BIND, None)
print('remount', r, ctypes.get_errno())
try:
    open('%s', 'w')
    print('created')
except OSError as e:
    print('create', e.errno)
""" % probe
        out = self.run_cmd(heredoc(program))
        lines = out["stdout"].splitlines()
        self.assertEqual(lines[0], "remount -1 1")
        self.assertIn(lines[1], ("create 13", "create 30"))
        self.assertFalse(os.path.exists(probe))

    def test_host_files_outside_the_jail_are_invisible(self):
        inst = self.permissive
        with open(inst.path("marker.txt"), "w") as f:
            f.write("secret")
        with open(inst.path("tmp", "host-tmp-marker"), "w") as f:
            f.write("secret")
        program = """
for path in ['/mnt/marker.txt', '%s', '/tmp/host-tmp-marker']:
    try:
        print(open(path).read())
    except OSError as e:
        print(e.errno)
""" % inst.path("marker.txt")
        out = self.run_cmd(heredoc(program))
        self.assertEqual(out["stdout"], "2\n2\n2\n")

    def test_tmp_is_the_agents_own_workspace(self):
        first = self.run_cmd("echo data > left-behind; ls")
        self.assertEqual(first["stdout"], "left-behind\n")
        self.assertEqual(self.run_cmd("pwd; ls -A")["stdout"], "/tmp\nleft-behind\n")
        self.agent = "t" + token()
        self.assertEqual(self.run_cmd("pwd; ls -A")["stdout"], "/tmp\n")

    def test_server_is_out_of_sight_and_reach(self):
        inst = self.permissive
        out = self.run_cmd("kill -9 %d; echo $?; kill -9 1; echo $?" % inst.proc.pid)
        self.assertEqual(re.findall(r"^\d+$", out["stdout"], re.M), ["1", "1"], out)
        self.assertIn("No such process", out["stderr"])
        self.assert_alive(inst)

    def check_running_command(self, pid, status, inst):
        super().check_running_command(pid, status, inst)
        self.assertEqual(status["Uid"].split(), [str(self.uid)] * 4)
        nspids = status["NSpid"].split()
        self.assertEqual(len(nspids), 2)
        self.assertGreater(int(nspids[1]), 1)  # not the namespace's init
        for ns in ("net", "pid", "mnt", "ipc"):
            self.assertNotEqual(os.readlink("/proc/%d/ns/%s" % (pid, ns)),
                                os.readlink("/proc/%d/ns/%s" % (inst.proc.pid, ns)), ns)


class KillListWithoutListener(unittest.TestCase):
    """A server that cannot hold a listener (it already runs under a filter with one) lets
    the kernel kill the caller of the kill list: the run is a seccomp block that names no
    call, and only the caller ends."""

    def test_the_kernel_kills_the_caller_and_no_call_is_named(self):
        with Instance(mode="kernel", files=PERMISSIVE, under_seccomp_listener=True) as inst:
            r = inst.exec("python3 -c 'import ctypes; ctypes.CDLL(None).syscall(101, -1, 0, 0, 0)'; echo after",
                          agent="fallback")
            out = r.json()
            self.assertTrue(out["stderr"].startswith("Bad system call"), out)
            self.assertEqual((out["stdout"], out["killed_by"]), ("after\n", "seccomp"), out)
            self.assertNotIn("call", out)
            entries = inst.get("/api/audit?agent=fallback").json()["entries"]
            self.assertIn(" BLOCK SECCOMP ", entries[-1])


class KernelIsolationSharedMounts(Sandbox, unittest.TestCase):
    """With the server's mounts shared (as on a systemd host), the run's tmpfs must still
    stay inside the run's own mount namespace."""
    mode = "kernel"
    extra_setup = "mount --make-rshared /"

    def test_run_tmpfs_does_not_propagate_to_the_host(self):
        inst = self.permissive
        mark = self.new_token()
        worker = threading.Thread(target=lambda: self.run_cmd(
            "python3 -c 'import time; time.sleep(2); mark=%s'" % mark, inst))
        worker.start()
        try:
            deadline = time.time() + 5
            while not processes_with(mark) and time.time() < deadline:
                time.sleep(0.02)
            self.assertTrue(processes_with(mark))
            with open("/proc/%d/mountinfo" % inst.proc.pid) as f:
                mounts = f.read()
        finally:
            worker.join()
        self.assertNotIn("/var/terox/jail/root/tmp", mounts)
        self.assertNotIn("/var/terox/jail/root/proc", mounts)
        self.assertIn("/var/terox/jail/root/usr", mounts)  # the jail itself is there


class ServerOutOfSightCases:
    """Basic isolation with the server as PID 1 of a PID namespace of its own."""

    def test_limits_work_when_the_servers_group_is_out_of_sight(self):
        # Under unshare --pid --fork the server is PID 1 of a namespace whose group leader
        # stays outside: getpgid answers 0, which must not make the command's own calls
        # (prlimit64(0, ...)) look aimed at the server.
        inst = Instance(mode=self.mode, files=PERMISSIVE, pid_namespace=True)
        self.addCleanup(inst.cleanup)
        out = self.run_cmd("ulimit -n; python3 -c 'import resource; print(resource.getrlimit(resource.RLIMIT_NOFILE))'", inst)
        self.assertEqual(out["stdout"], "256\n(256, 256)\n")  # the permissive profile's limit
        out = self.run_cmd("kill -9 $PPID; kill -9 1; echo done", inst)
        self.assertIn("done", out["stdout"])
        self.assert_alive(inst)


class BasicIsolation(ServerOutOfSightCases, EscapeCases, unittest.TestCase):
    mode = "basic"

    def fork_bomb_instance(self):
        inst = Instance(mode="basic", uid=BOMB_UID, extra_setup=BOMB_PROCESS_CAP)
        self.addCleanup(inst.cleanup)
        return inst

    def test_command_runs_in_its_workspace_as_its_agents_uid(self):
        with open(self.permissive.path("tmp", "host-tmp-marker"), "w") as f:
            f.write("host")
        out = self.run_cmd("pwd; ls -A; python3 -c 'import os; print(os.getuid())'")
        lines = out["stdout"].split()
        self.assertEqual(lines[0], "/tmp")
        self.assertIn(int(lines[-1]), range(60000, 61025))
        self.assertNotIn("host-tmp-marker", out["stdout"])

    def test_health_reports_rootless_namespaces(self):
        self.assertEqual(self.health(self.strict)["namespaces"], True)

    def test_commands_cannot_signal_or_limit_the_server(self):
        # Outside the server uid is the command's too; the run's PID namespace keeps the
        # server out of sight, and the jail's init (PID 1) ignores what its namespace sends.
        out = self.run_cmd("echo $PPID; kill -9 $PPID; kill -STOP $PPID; kill -9 -1; echo done", self.strict)
        self.assertTrue(out["stdout"].startswith("1\n"), out["stdout"])
        self.assertIn("done", out["stdout"])
        program = SERVER_PROBE % self.permissive.proc.pid
        out = self.run_cmd(heredoc(program))
        self.assertEqual(out["stdout"], "kill 3\ntgkill 3\npidfd 3\nprlimit 3\n")
        self.assert_alive(self.strict)
        self.assert_alive(self.permissive)

    def test_descriptor_owner_signals_cannot_reach_the_server(self):
        # The server's pid names nothing in the run's PID namespace: every call aimed at it
        # fails; the command's own descriptors stay its own.
        program = """
import ctypes, fcntl, os, struct
pid = %d
libc = ctypes.CDLL(None, use_errno=True)
r, w = os.pipe()
def call(*args):
    if libc.syscall(*args) != 0:
        raise OSError(ctypes.get_errno(), 'refused')
for name, fn in [('group owner', lambda: fcntl.fcntl(r, fcntl.F_SETOWN, -os.getpgid(pid))),
                 ('owner_ex', lambda: fcntl.fcntl(r, 15, struct.pack('ii', 1, pid))),
                 ('fiosetown', lambda: fcntl.ioctl(r, 0x8901, struct.pack('i', pid))),
                 ('setpriority', lambda: os.setpriority(os.PRIO_PROCESS, pid, 19)),
                 ('affinity', lambda: os.sched_setaffinity(pid, {0})),
                 ('ioprio', lambda: call(251, 1, pid, 0)),
                 ('kcmp', lambda: call(312, pid, os.getpid(), 0, 0, 0)),
                 ('own owner', lambda: fcntl.fcntl(r, fcntl.F_SETOWN, os.getpid()))]:
    try:
        fn()
        print(name, 'allowed')
    except OSError as e:
        print(name, e.errno)
""" % self.permissive.proc.pid
        out = self.run_cmd(heredoc(program))
        self.assertEqual(out["stdout"], "group owner 3\nowner_ex 3\nfiosetown 25\nsetpriority 3\n"
                         "affinity 3\nioprio 3\nkcmp 3\nown owner allowed\n")
        self.assert_alive(self.strict)
        self.assert_alive(self.permissive)

    def check_running_command(self, pid, status, inst):
        super().check_running_command(pid, status, inst)
        # The host sees the server's uid, which the command's user namespace maps.
        self.assertEqual(status["Uid"].split(), ["65534"] * 4)
        for ns in ("user", "net", "pid", "mnt", "ipc"):
            self.assertNotEqual(os.readlink("/proc/%d/ns/%s" % (pid, ns)),
                                os.readlink("/proc/%d/ns/%s" % (inst.proc.pid, ns)), ns)


class PlainBasicIsolation(ServerOutOfSightCases, EscapeCases, unittest.TestCase):
    """Basic isolation where the server cannot make user namespaces: commands run beside
    the server, under its uid, with no jail, in a Landlock domain whose only writable
    place is the agent's workspace directory under the host's /tmp."""
    mode = "plain"

    def test_chroot_escape_fails(self):
        self.skipTest("no jail without namespaces: there is nothing to climb out of")

    def test_server_and_init_memory_are_closed_to_the_command(self):
        self.skipTest("the server is in sight here; see the test of its memory and descriptors")

    def fork_bomb_instance(self):
        inst = Instance(mode="plain", uid=BOMB_UID, extra_setup=BOMB_PROCESS_CAP)
        self.addCleanup(inst.cleanup)
        return inst

    def test_command_runs_in_its_workspace_as_the_server_uid(self):
        out = self.run_cmd("pwd; python3 -c 'import os; print(os.getuid())'")
        self.assertRegex(out["stdout"], r"^/tmp/cindervox-ws/\d+\n65534\n$")

    def test_server_memory_and_descriptors_are_closed_to_the_command(self):
        program = """
import os
base = '/pro' + 'c/%d/'
for name in ['mem', 'environ', 'fd']:
    try:
        if name == 'fd':
            os.listdir(base + name)
        else:
            open(base + name, 'rb').read(1)
        print(name, 'open')
    except OSError as e:
        print(name, e.errno)
""" % self.permissive.server_pid()
        out = self.run_cmd(heredoc(program))
        self.assertEqual(out["stdout"], "mem 13\nenviron 13\nfd 13\n")

    def test_commands_cannot_signal_or_limit_the_server(self):
        # Same uid as the server: only the filter stands between the command and it.
        pid = self.strict.server_pid()
        out = self.run_cmd("echo $PPID; kill -9 $PPID; kill -STOP $PPID; kill -9 -1; echo done", self.strict)
        self.assertTrue(out["stdout"].startswith("%d\n" % pid), out["stdout"])
        self.assertIn("done", out["stdout"])
        program = SERVER_PROBE % self.permissive.server_pid()
        out = self.run_cmd(heredoc(program))
        self.assertEqual(out["stdout"], "kill 1\ntgkill 1\npidfd 1\nprlimit 1\n")
        self.assert_alive(self.strict)
        self.assert_alive(self.permissive)

    def test_descriptor_owner_signals_cannot_reach_the_server(self):
        # The kernel would signal the pipe's owner, the server, on I/O, and F_SETSIG makes
        # that signal SIGKILL. Landlock's signal scope lets the owner be set but keeps the
        # signal inside the run.
        one_liner = ("python3 -c 'import os,fcntl,sys;s=int(sys.argv[1]);r,w=os.pipe();"
                     "fcntl.fcntl(r,fcntl.F_SETOWN,s);fcntl.fcntl(r,10,9);fcntl.fcntl(r,fcntl.F_SETFL,os.O_ASYNC);"
                     "os.write(w,bytes(1));print(1)' $PPID")
        out = self.run_cmd(one_liner, self.strict)
        self.assertEqual(out["stdout"], "1\n", out)
        self.assert_alive(self.strict)
        program = """
import ctypes, fcntl, os, struct
pid = %d
libc = ctypes.CDLL(None, use_errno=True)
r, w = os.pipe()
def call(*args):
    if libc.syscall(*args) != 0:
        raise OSError(ctypes.get_errno(), 'refused')
for name, fn in [('group owner', lambda: fcntl.fcntl(r, fcntl.F_SETOWN, -os.getpgid(pid))),
                 ('owner_ex', lambda: fcntl.fcntl(r, 15, struct.pack('ii', 1, pid))),
                 ('fiosetown', lambda: fcntl.ioctl(r, 0x8901, struct.pack('i', pid))),
                 ('siocspgrp', lambda: fcntl.ioctl(r, 0x8902, struct.pack('i', pid))),
                 ('setpriority', lambda: os.setpriority(os.PRIO_PROCESS, pid, 19)),
                 ('user priority', lambda: os.setpriority(os.PRIO_USER, 0, 19)),
                 ('affinity', lambda: os.sched_setaffinity(pid, {0})),
                 ('ioprio', lambda: call(251, 1, pid, 0)),
                 ('kcmp', lambda: call(312, pid, os.getpid(), 0, 0, 0)),
                 ('own owner', lambda: fcntl.fcntl(r, fcntl.F_SETOWN, os.getpid()))]:
    try:
        fn()
        print(name, 'allowed')
    except OSError as e:
        print(name, e.errno)
""" % self.permissive.server_pid()
        out = self.run_cmd(heredoc(program))
        # Naming the server as owner is left to Landlock, which keeps its signals in the
        # run (above); kcmp is refused by Landlock's tracing rule, the rest by the filter.
        self.assertEqual(out["stdout"], "group owner allowed\nowner_ex allowed\nfiosetown 25\nsiocspgrp 25\n"
                         "setpriority 1\nuser priority 1\naffinity 1\nioprio 1\nkcmp 1\n"
                         "own owner allowed\n")
        self.assert_alive(self.strict)
        self.assert_alive(self.permissive)

    def check_running_command(self, pid, status, inst):
        super().check_running_command(pid, status, inst)
        self.assertEqual(status["Uid"].split(), ["65534"] * 4)


if __name__ == "__main__":
    unittest.main()
