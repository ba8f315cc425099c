"""Black-box harness: starts the real programs in namespaces of their own and talks raw
HTTP to them.

Each instance gets a fresh mount and network namespace (unshare). Inside it, /etc and /var
are overlaid with per-test upper directories (so the host's files are never touched), the
per-test directories are bind-mounted over /etc/cindervox, /var/log/cindervox and /tmp,
loopback comes up, and the binary starts as root (kernel isolation) or as uid 65534
(basic isolation; "plain": where it cannot make user namespaces either). The client
enters the instance's network namespace only to create its socket, so every connection
goes to that instance's loopback.
"""
import ctypes
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD = os.environ.get("CINDERVOX_BUILD", "build")
DEFAULT_AUTH = "Basic dGVyb3g6d2lja2VycG9k"
CLONE_NEWNET = 0x40000000

_libc = ctypes.CDLL(None, use_errno=True)


def binary(name):
    path = os.path.join(ROOT, BUILD, name)
    if not os.path.exists(path):
        raise RuntimeError("build %s first: %s missing" % (name, path))
    return path


def _setns(fd):
    if _libc.setns(fd, CLONE_NEWNET) != 0:
        raise OSError(ctypes.get_errno(), "setns failed")


class NetNamespace:
    """Creates sockets inside the network namespace of a process."""

    def __init__(self, pid):
        self.pid = pid

    def socket(self):
        own = os.open("/proc/self/task/%d/ns/net" % _gettid(), os.O_RDONLY)
        target = os.open("/proc/%d/ns/net" % self.pid, os.O_RDONLY)
        try:
            _setns(target)
            try:
                return socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            finally:
                _setns(own)
        finally:
            os.close(own)
            os.close(target)

    def listen_backlog(self, port):
        """Connections waiting in the accept queue of the namespace's listener on port."""
        with open("/proc/%d/net/tcp" % self.pid) as f:
            for line in f.readlines()[1:]:
                fields = line.split()
                if fields[1].endswith(":%04X" % port) and fields[3] == "0A":
                    return int(fields[4].split(":")[1], 16)
        return 0

    def idle_sockets(self, count, port, host="127.0.0.1", timeout=10.0, batch=32):
        """count sockets connected to port and left silent, made inside the namespace in one
        visit (entering it once per socket would take seconds for hundreds). They connect
        a batch at a time, each batch once the server has taken the last from its accept
        queue: past the listener's backlog the kernel drops handshakes, and their retries
        would cost seconds. So the server admits them in list order."""
        own = os.open("/proc/self/task/%d/ns/net" % _gettid(), os.O_RDONLY)
        target = os.open("/proc/%d/ns/net" % self.pid, os.O_RDONLY)
        made = []
        try:
            _setns(target)
            try:
                while len(made) < count:
                    for _ in range(min(batch, count - len(made))):
                        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
                        made.append(s)
                        s.settimeout(timeout)
                        s.connect((host, port))
                    deadline = time.time() + timeout
                    while self.listen_backlog(port) > 0 and time.time() < deadline:
                        time.sleep(0.001)
            finally:
                _setns(own)
        except BaseException:
            for s in made:
                s.close()
            raise
        finally:
            os.close(own)
            os.close(target)
        return made

    def connect(self, port, host="127.0.0.1", timeout=10.0):
        deadline = time.time() + timeout
        while True:
            s = self.socket()
            s.settimeout(timeout)
            try:
                s.connect((host, port))
                return s
            except OSError:
                s.close()
                if time.time() > deadline:
                    raise
                time.sleep(0.02)


def _gettid():
    return _libc.syscall(186)


# CINDERVOX_PREPARED_RUNS=N runs every sandbox-server with prepared_runs=N in its
# configuration (unset: the server's default), so the isolation tests can be run with the
# pool of prepared jail inits on and off.
PREPARED_RUNS = os.environ.get("CINDERVOX_PREPARED_RUNS")
# The pool's size as the servers run it: the variable's, or the server's default.
POOL_SIZE = int(PREPARED_RUNS) if PREPARED_RUNS is not None else 2


def with_prepared_runs(program, files):
    files = dict(files or {})
    if PREPARED_RUNS is None or program != "sandbox-server":
        return files
    config = files.get("config", "")
    if isinstance(config, bytes):
        config = config.decode()
    if config and not config.endswith("\n"):
        config += "\n"
    files["config"] = config + "prepared_runs=%s\n" % PREPARED_RUNS
    return files


# Mounts and loopback are set up by this script, which the browser tests use as well.
SETUP_SCRIPT = os.path.join(ROOT, "tests", "instance_setup.sh")


class Instance:
    """One running program in its own namespaces, with its own directories."""

    def __init__(self, program="sandbox-server", mode="kernel", files=None, port=7575,
                 extra_setup="", etc_mode=0o755, log_mode=0o755, wait_for_port=True,
                 ready_text="API: POST", uid=65534, pid_namespace=False, args=(), launch=None,
                 address=None, binary_path=None, without_landlock=False, run_dir=None,
                 under_seccomp_listener=False):
        """address: the program waits for the veth end cvx0 that the caller moves into its
        network namespace and gives it this address (/24). args: its command line.
        binary_path: a program from elsewhere than the build (HAProxy, say).
        without_landlock: the program runs as on a kernel without Landlock. run_dir: the
        directory bound on the instance's /run (default its own), for instances that share
        one as servers on one host do. under_seccomp_listener: the program runs under a
        filter with a listener, so the kernel refuses it one of its own."""
        self.port = port
        self.ready_text = ready_text
        self.mode = mode
        self.dir = tempfile.mkdtemp(prefix="cvx-")
        os.chmod(self.dir, 0o755)
        for sub in ("etc", "log", "terox", "tmp", "bin", "ov/etc-up", "ov/etc-work",
                    "ov/var-up", "ov/var-work"):
            os.makedirs(os.path.join(self.dir, sub))
        os.chmod(self.path("tmp"), 0o1777)
        os.chmod(self.path("etc"), etc_mode)
        os.chmod(self.path("log"), log_mode)
        for name, content in with_prepared_runs(program, files).items():
            self.write_etc(name, content)
        exe = self.path("bin", program)
        shutil.copy(binary_path or binary(program), exe)
        os.chmod(self.path("bin"), 0o755)
        # launch: words put before the program instead of the mode's own (a kernel-mode
        # server under a reduced capability bounding set, say).
        if launch is None:
            launch = ""
        if mode == "basic" and not launch:
            launch = ("setpriv --reuid=%d --regid=%d --clear-groups --inh-caps=-all --bounding-set=-all"
                      % (uid, uid))
        if mode == "plain":
            # Basic isolation as on a kernel that refuses unprivileged user namespaces.
            # The script goes beside the program: the checkout may lie under a /tmp that the
            # instance's own /tmp covers.
            shutil.copy(os.path.join(ROOT, "tests", "blackbox", "without_user_namespaces.py"), self.path("bin"))
            launch = "python3 /mnt/bin/without_user_namespaces.py --uid=%d" % uid
        if without_landlock:
            # As on a kernel without Landlock (every Landlock call answers ENOSYS).
            shutil.copy(os.path.join(ROOT, "tests", "blackbox", "without_landlock.py"), self.path("bin"))
            launch = "python3 /mnt/bin/without_landlock.py " + (launch or "")
        if under_seccomp_listener:
            shutil.copy(os.path.join(ROOT, "tests", "blackbox", "under_seccomp_listener.py"), self.path("bin"))
            launch = "python3 /mnt/bin/under_seccomp_listener.py " + (launch or "")
        if pid_namespace:
            # The program becomes PID 1 of a namespace whose group leader stays outside;
            # --kill-child ends it with unshare, so a stopped instance leaves no orphan.
            launch = "unshare --pid --fork --kill-child " + launch
        self.console_path = self.path("console.txt")
        self.console_file = open(self.console_path, "wb")
        env = {"T": self.dir, "PROGRAM": program, "LAUNCH": launch, "EXTRA": extra_setup,
               "ADDR": address or "", "PATH": "/usr/sbin:/usr/bin:/sbin:/bin", "RUN_DIR": run_dir or ""}
        self.proc = subprocess.Popen(
            ["unshare", "--mount", "--net", "--propagation", "private", "sh", SETUP_SCRIPT, *args],
            stdout=self.console_file, stderr=subprocess.STDOUT, env=env, cwd="/")
        self.ns = NetNamespace(self.proc.pid)
        self._second = 0
        self._sent = 0
        if wait_for_port:
            self.wait_listening()

    # Paths of the instance's own directories (as the host sees them).
    def path(self, *parts):
        return os.path.join(self.dir, *parts)

    def write_etc(self, name, content, mode=0o644):
        p = self.path("etc", name)
        with open(p, "wb") as f:
            f.write(content.encode() if isinstance(content, str) else content)
        os.chmod(p, mode)

    def console(self):
        self.console_file.flush()
        with open(self.console_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def wait_console(self, text, timeout=5.0):
        deadline = time.time() + timeout
        while time.time() < deadline:
            if text in self.console():
                return True
            if self.proc.poll() is not None and text not in self.console():
                return False
            time.sleep(0.02)
        return False

    def wait_listening(self, timeout=10.0):
        if not self.wait_console(self.ready_text, timeout):
            raise RuntimeError("server did not start:\n" + self.console())
        # The listening lines come after bind; the port is ready.

    def wait_exit(self, timeout=30.0):
        """The program's exit status once it has ended by itself."""
        return self.proc.wait(timeout=timeout)

    def server_pid(self):
        """The program's pid: the harness's own process, except in "plain" mode, where the
        program is the launcher's only child."""
        if self.mode != "plain":
            return self.proc.pid
        with open("/proc/%d/task/%d/children" % (self.proc.pid, self.proc.pid)) as f:
            return int(f.read().split()[0])

    def alive(self):
        return self.proc.poll() is None

    def pace(self):
        """Keeps this client under the global limit of 20 requests per calendar second."""
        now = int(time.time())
        if now != self._second:
            self._second, self._sent = now, 0
        if self._sent >= 18:
            time.sleep(now + 1 - time.time() + 0.01)
            self._second, self._sent = int(time.time()), 0
        self._sent += 1

    def connect(self, host="127.0.0.1", port=None):
        return self.ns.connect(port or self.port, host)

    def idle_connections(self, count):
        """count connections that send nothing, admitted in list order; the caller closes
        them. The server drops a silent peer after a while (two seconds today)."""
        return self.ns.idle_sockets(count, self.port)

    def raw(self, data, pace=True, timeout=30.0, split=None, delay=0.05, port=None):
        """Sends exact bytes and returns exactly the bytes the server wrote before closing.
        split: send the first `split` bytes, wait `delay`, send the rest."""
        if pace:
            self.pace()
        if isinstance(data, str):
            data = data.encode()
        s = self.connect(port=port)
        s.settimeout(timeout)
        try:
            if split is None:
                s.sendall(data)
            else:
                s.sendall(data[:split])
                time.sleep(delay)
                s.sendall(data[split:])
            return recv_all(s)
        finally:
            s.close()

    def request(self, method, path, body=None, headers=None, auth=DEFAULT_AUTH, pace=True, port=None,
                content_type="application/json", timeout=30.0):
        """An HTTP/1.1 request with CR LF line ends; returns a Response. headers may replace
        Host (default localhost) and Content-Type (default content_type, None for none)."""
        data = request_bytes(method, path, body, headers, auth, content_type)
        return Response(self.raw(data, pace=pace, port=port, timeout=timeout))

    def get(self, path, **kw):
        return self.request("GET", path, **kw)

    def post(self, path, body, **kw):
        return self.request("POST", path, body=body, **kw)

    def exec(self, cmd, agent=None, extra=None, **kw):
        import json
        obj = {"cmd": cmd}
        obj.update(extra or {})
        headers = {"X-Agent": agent} if agent is not None else None
        return self.post("/api/exec", json.dumps(obj), headers=headers, **kw)

    def stop(self):
        if self.proc.poll() is None:
            # The whole tree goes: a program that changed its uid under `unshare --fork`
            # has lost the parent-death signal that would otherwise end it with unshare.
            for pid in [self.proc.pid] + _descendants(self.proc.pid):
                try:
                    os.kill(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
            self.proc.wait(timeout=10)
        self.console_file.close()

    def cleanup(self):
        self.stop()
        # Files written by the server as root or nobody; the directory is ours alone.
        shutil.rmtree(self.dir, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.cleanup()


def _descendants(pid):
    """Every process below pid, found through /proc's lists of children."""
    found = []
    try:
        tasks = os.listdir("/proc/%d/task" % pid)
    except OSError:
        return found
    for task in tasks:
        try:
            with open("/proc/%d/task/%s/children" % (pid, task)) as f:
                children = [int(c) for c in f.read().split()]
        except OSError:
            continue
        for child in children:
            found += [child] + _descendants(child)
    return found


def request_bytes(method, path, body=None, headers=None, auth=DEFAULT_AUTH, content_type="application/json"):
    """The bytes of the request Instance.request sends, for a socket the caller holds."""
    headers = dict(headers or {})
    lines = ["%s %s HTTP/1.1" % (method, path), "Host: " + headers.pop("Host", "localhost")]
    if auth:
        lines.append("Authorization: " + auth)
    for k, v in headers.items():
        lines.append("%s: %s" % (k, v))
    payload = b""
    if body is not None:
        payload = body.encode() if isinstance(body, str) else body
        if content_type and "Content-Type" not in headers:
            lines.append("Content-Type: " + content_type)
        lines.append("Content-Length: %d" % len(payload))
    return ("\r\n".join(lines) + "\r\n\r\n").encode() + payload


def recv_all(s):
    chunks = []
    while True:
        try:
            b = s.recv(65536)
        except ConnectionResetError:
            break
        if not b:
            break
        chunks.append(b)
    return b"".join(chunks)


# The exact bytes of the server's answers, for byte-for-byte comparisons.
HEADERS = ("Access-Control-Allow-Origin: *\r\n"
           "Access-Control-Allow-Headers: Authorization,Content-Type,X-Agent\r\n"
           "Connection: close\r\n\r\n")

UNAUTHORIZED = (b"HTTP/1.1 401 Unauthorized\r\n"
                b"WWW-Authenticate: Basic realm=\"Cindervox\"\r\n"
                b"Content-Type: application/json\r\n"
                b"Content-Length: 42\r\n"
                b"Access-Control-Allow-Origin: *\r\n"
                b"\r\n"
                b"{\"ok\":false,\"error\":\"invalid credentials\"}")


def json_answer(status, reason, body, extra=""):
    """The exact answer; extra is header lines ("Name: value\r\n") after the fixed ones."""
    data = body.encode() if isinstance(body, str) else body
    return ("HTTP/1.1 %d %s\r\nContent-Type: application/json\r\nContent-Length: %d\r\n%s%s\r\n"
            % (status, reason, len(data), HEADERS[:-2], extra)).encode() + data


def json_error(status, reason, message):
    return json_answer(status, reason, '{"ok":false,"error":"%s"}' % message)


def too_many(message, retry_after):
    """A 429 answer with its Retry-After header."""
    data = ('{"ok":false,"error":"%s"}' % message).encode()
    return ("HTTP/1.1 429 Too Many Requests\r\nContent-Type: application/json\r\nContent-Length: %d\r\n%s"
            % (len(data), HEADERS.replace("\r\n\r\n", "\r\nRetry-After: %d\r\n\r\n" % retry_after))).encode() + data


class Response:
    """A raw answer split into status, headers and body; lines end with CR LF."""

    def __init__(self, raw):
        self.raw = raw
        head, sep, body = raw.partition(b"\r\n\r\n")
        self.head = head.decode("latin-1")
        self.body = body
        lines = self.head.split("\r\n")
        self.status_line = lines[0] if lines else ""
        parts = self.status_line.split(" ", 2)
        self.status = int(parts[1]) if len(parts) > 1 and parts[1].isdigit() else 0
        self.headers = {}
        for line in lines[1:]:
            k, _, v = line.partition(": ")
            self.headers[k] = v

    @property
    def text(self):
        return self.body.decode("utf-8", "replace")

    def json(self):
        import json
        return json.loads(self.body)

    def __repr__(self):
        return "Response(%r)" % self.raw[:300]
