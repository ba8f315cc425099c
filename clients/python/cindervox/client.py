"""The HTTP client of a Cindervox sandbox server.

One `Terox` object holds the server's address and credential; each method is one HTTP
request (the server closes every connection after its answer), so an object can be shared
between threads. Only the standard library is used. Connections go straight to the given
address: proxy variables of the environment are not consulted.
"""
import base64
import json
import socket
import urllib.error
import urllib.parse
import urllib.request
from dataclasses import dataclass, field
from typing import Any, Dict, List, Mapping, Optional, Tuple, Union

from .errors import AuthError, PolicyRefused, RateLimited, SandboxError
from .runs import Run, RunStatus, run_status
from .streams import EventStream

__all__ = ["Terox", "ExecResult", "WriteResult", "ReadResult", "FileEntry", "ListResult", "AuditPage"]

DEFAULT_URL = "http://127.0.0.1:7575"
# The permissive profile lets a command run for 300 s; the answer comes after it ends.
DEFAULT_TIMEOUT_S = 330.0


@dataclass
class ExecResult:
    """The outcome of a command the sandbox ran.

    stdout and stderr are the command's two streams (stderr is "" with merge_stderr, whose
    combined stream is stdout). stdout_bytes and stderr_bytes are what the command wrote in
    all; a stream longer than the server keeps is cut in the middle and stdout_truncated or
    stderr_truncated says so. killed_by is "memory" or "seccomp" (with call, the system
    call) when the run was ended that way; timed_out is True when the server ended it at
    its time-out. ignored_fields names request fields the server did not know. files lists
    the names a command printed after the file-list marker line.
    """
    stdout: str
    exit_code: int
    duration_ms: int
    files: List[str] = field(default_factory=list)
    timed_out: bool = False
    stderr: str = ""
    stdout_bytes: int = 0
    stderr_bytes: int = 0
    stdout_truncated: bool = False
    stderr_truncated: bool = False
    stdout_lossy: bool = False
    stderr_lossy: bool = False
    killed_by: Optional[str] = None
    call: Optional[str] = None
    ignored_fields: List[str] = field(default_factory=list)
    raw: Dict[str, Any] = field(default_factory=dict, repr=False)


@dataclass
class WriteResult:
    """A file written under /tmp/: its path, the bytes written and its size after."""
    path: str
    bytes_written: int
    size: Optional[int] = None


@dataclass
class ReadResult:
    """A file read from /tmp/: its size on disk, where the read began, and its content.

    content is text (bytes that are not UTF-8 replaced, with lossy True) or, for
    encoding="base64", the base64 text, whose bytes are in data. eof is True when the read
    reached the file's end; truncated is its opposite.
    """
    path: str
    size: int
    content: str
    truncated: bool
    offset: int = 0
    bytes: int = 0
    encoding: str = "utf-8"
    eof: bool = True
    lossy: bool = False
    data: Optional[bytes] = field(default=None, repr=False)


@dataclass
class FileEntry:
    """One entry of a directory: type is "file", "dir", "link" or "other"; mode is octal text."""
    name: str
    type: str
    size: int
    mode: str
    mtime: int


@dataclass
class ListResult:
    """A directory's entries (at most the server's bound; truncated says when there are more)."""
    path: str
    entries: List[FileEntry]
    count: int
    truncated: bool


@dataclass
class AuditPage:
    """A page of the audit ring: total retained, matched by the agent asked for, returned here."""
    entries: List[str]
    total: int
    matched: int
    returned: int
    offset: int


def _base64(data: bytes) -> str:
    return base64.b64encode(data).decode("ascii")


def _mode_text(mode: Any) -> str:
    """File permissions as the server takes them: octal text such as "0755"."""
    if isinstance(mode, int):
        return "%04o" % mode
    return str(mode)


class Terox:
    """Client of one sandbox server.

    Args:
        url: the server's base URL, for example "http://127.0.0.1:7575".
        auth: (user, password) for HTTP Basic authentication (the admin login).
        token: a bearer token instead: the server's admin token or an agent token.
        agent: the default agent name sent as X-Agent; a method's own `agent` wins.
        timeout: seconds to wait for each answer.
    """

    def __init__(self, url: str = DEFAULT_URL, auth: Optional[Tuple[str, str]] = None,
                 token: Optional[str] = None, agent: Optional[str] = None,
                 timeout: float = DEFAULT_TIMEOUT_S) -> None:
        if auth is not None and token is not None:
            raise ValueError("give either auth or token, not both")
        parsed = urllib.parse.urlsplit(url)
        if parsed.scheme not in ("http", "https") or not parsed.netloc:
            raise ValueError("url must look like http://host:port, got %r" % url)
        self.url = url.rstrip("/")
        self.agent = agent
        self.timeout = timeout
        self._authorization: Optional[str] = None
        if auth is not None:
            pair = ("%s:%s" % (auth[0], auth[1])).encode("utf-8")
            self._authorization = "Basic " + base64.b64encode(pair).decode("ascii")
        elif token is not None:
            self._authorization = "Bearer " + token
        # No ProxyHandler: a sandbox on loopback must not be reached through a proxy.
        self._opener = urllib.request.OpenerDirector()
        for handler in (urllib.request.HTTPHandler(), urllib.request.HTTPSHandler(),
                        urllib.request.HTTPDefaultErrorHandler(),
                        urllib.request.HTTPErrorProcessor()):
            self._opener.add_handler(handler)

    def __repr__(self) -> str:
        return "Terox(%r)" % self.url

    # ---- commands and files ----

    def exec(self, cmd: str, agent: Optional[str] = None, model: Optional[str] = None,
             tokens_in: Optional[int] = None, tokens_out: Optional[int] = None, *,
             cwd: Optional[str] = None, env: Optional[Mapping[str, str]] = None,
             stdin: Optional[Any] = None, stdin_encoding: Optional[str] = None,
             timeout_ms: Optional[int] = None, merge_stderr: Optional[bool] = None) -> ExecResult:
        """Runs a shell command in the sandbox and returns its output and exit code.

        The command goes whole to "/bin/sh -c" (a command longer than the server takes is
        refused, never cut). cwd is the working directory inside the workspace (/tmp or
        below); env adds variables; stdin is text, or bytes (sent as base64); timeout_ms
        shortens the profile's time-out; merge_stderr gives one combined stream in stdout.
        model, tokens_in and tokens_out are reported to the agent's record and count
        against its token budget. A nonzero exit code is a result, not an error.

        Raises:
            PolicyRefused: the screen or the policy refused the command (403).
            RateLimited: the agent's rate window or token budget is used up (429).
            AuthError: the credential was refused (401).
            SandboxError: a field the server refuses (400), and any other refusal.
        """
        body = _exec_body(cmd, model, tokens_in, tokens_out, cwd=cwd, env=env, stdin=stdin,
                          stdin_encoding=stdin_encoding, timeout_ms=timeout_ms, merge_stderr=merge_stderr)
        return exec_result(self.call("POST", "/api/exec", body, agent=agent))

    def stream(self, cmd: str, agent: Optional[str] = None, model: Optional[str] = None,
               tokens_in: Optional[int] = None, tokens_out: Optional[int] = None, *,
               cwd: Optional[str] = None, env: Optional[Mapping[str, str]] = None,
               stdin: Optional[Any] = None, stdin_encoding: Optional[str] = None,
               timeout_ms: Optional[int] = None, merge_stderr: Optional[bool] = None) -> EventStream:
        """Runs a command as exec does and gives its output as it is written: an iterator
        of StreamEvents ("stdout", "stderr", "dropped" when this reader fell more than the
        server's buffer behind, and "exit" last, whose result is the ExecResult that exec
        would have returned). Refusals raise at once, as for exec; a run that could not
        start raises SandboxError at its exit event. Closing the stream early (close(), or
        leaving a `with` block) cancels the command.

            with terox.stream("make") as events:
                for event in events:
                    if event.kind in ("stdout", "stderr"):
                        print(event.text, end="")
                print(events.result.exit_code)
        """
        body = _exec_body(cmd, model, tokens_in, tokens_out, cwd=cwd, env=env, stdin=stdin,
                          stdin_encoding=stdin_encoding, timeout_ms=timeout_ms, merge_stderr=merge_stderr)
        body["stream"] = True

        def connect(last_id: Optional[int], timeout: float) -> Any:
            return self.open_stream("POST", "/api/exec", body, agent=agent, timeout=timeout)
        return EventStream(connect, exec_result, timeout=self.timeout)

    def start(self, cmd: str, agent: Optional[str] = None, model: Optional[str] = None,
              tokens_in: Optional[int] = None, tokens_out: Optional[int] = None, *,
              cwd: Optional[str] = None, env: Optional[Mapping[str, str]] = None,
              timeout_ms: Optional[int] = None) -> Run:
        """Starts a command in the background (the same checks as exec) and returns its Run
        at once: read its output with output() or events(), feed its input with
        write_stdin(), end it with kill(), wait() for its end. Its standard output and
        standard error are one stream; its input stays open until write_stdin(eof=True).
        timeout_ms may shorten the server's max_background_seconds.

        Raises:
            RateLimited: the agent has its share of background runs going (429), and the
                exec refusals.
            SandboxError: every background slot is in use, or background runs are off (503).
        """
        body = _exec_body(cmd, model, tokens_in, tokens_out, cwd=cwd, env=env, stdin=None,
                          stdin_encoding=None, timeout_ms=timeout_ms, merge_stderr=None)
        body["background"] = True
        data = self.call("POST", "/api/exec", body, agent=agent)
        return Run(self, int(data["run_id"]), agent if agent is not None else self.agent)

    def run(self, run_id: int, agent: Optional[str] = None) -> Run:
        """The Run of an id (from start() or runs()), acting for agent; no request is sent."""
        return Run(self, run_id, agent if agent is not None else self.agent)

    def runs(self, agent: Optional[str] = None) -> List[RunStatus]:
        """The background runs the caller may see (its agent's; the admin without an agent
        sees all), running or finished within the last 10 minutes."""
        data = self.call("GET", "/api/runs", agent=agent)
        return [run_status(r) for r in data.get("runs", []) if isinstance(r, dict)]

    def write(self, path: str, content: Any, agent: Optional[str] = None, *,
              encoding: Optional[str] = None, mode: Any = None,
              append: Optional[bool] = None) -> WriteResult:
        """Writes a file under /tmp/ (the agent's workspace where the server has one), for
        example a script that a later exec runs. content is text, or bytes (sent as base64,
        written exactly); encoding="base64" says a text content is already base64. mode is
        the permissions, 0o755 or "0755"; append adds to the end. Missing parent
        directories are made. A file larger than the server's limit is refused (413) and
        nothing is written.

        Raises:
            PolicyRefused: the path is not under /tmp/ or holds "..".
            SandboxError: a refused field (400), a file too large (413), and the rest.
        """
        body: Dict[str, Any] = {"path": path}
        if isinstance(content, (bytes, bytearray, memoryview)):
            body["content"] = _base64(bytes(content))
            body["encoding"] = "base64"
        else:
            body["content"] = str(content)
        if encoding is not None:
            body["encoding"] = encoding
        if mode is not None:
            body["mode"] = _mode_text(mode)
        if append is not None:
            body["append"] = bool(append)
        data = self.call("POST", "/api/write", body, agent=agent)
        size = data.get("size")
        return WriteResult(path=str(data.get("path", path)),
                           bytes_written=int(data.get("bytes_written", 0)),
                           size=int(size) if size is not None else None)

    def read(self, path: str, agent: Optional[str] = None, *, offset: Optional[int] = None,
             length: Optional[int] = None, encoding: Optional[str] = None) -> ReadResult:
        """Reads a file under /tmp/: from offset, at most length bytes (default: to the
        end, within the server's limit). encoding="base64" returns the bytes exactly (in
        ReadResult.data).

        Raises:
            PolicyRefused: the path breaks the path rules (403).
            SandboxError: no such file (404), a directory (400), a text answer too large
                (413: read with base64 or in parts), and the rest.
        """
        body: Dict[str, Any] = {"path": path}
        if offset is not None:
            body["offset"] = int(offset)
        if length is not None:
            body["length"] = int(length)
        if encoding is not None:
            body["encoding"] = encoding
        data = self.call("POST", "/api/read", body, agent=agent)
        content = str(data.get("content", ""))
        answered_encoding = str(data.get("encoding", encoding or "utf-8"))
        eof = bool(data.get("eof", not data.get("truncated", False)))
        return ReadResult(path=str(data.get("path", path)), size=int(data.get("size", 0)),
                          content=content, truncated=bool(data.get("truncated", not eof)),
                          offset=int(data.get("offset", offset or 0)),
                          bytes=int(data.get("bytes", len(content.encode("utf-8")))),
                          encoding=answered_encoding, eof=eof,
                          lossy=bool(data.get("lossy", False)),
                          data=base64.b64decode(content) if answered_encoding == "base64" else None)

    def read_bytes(self, path: str, agent: Optional[str] = None, *, offset: Optional[int] = None,
                   length: Optional[int] = None) -> bytes:
        """The file's bytes exactly (read with encoding base64)."""
        result = self.read(path, agent=agent, offset=offset, length=length, encoding="base64")
        return result.data or b""

    def list(self, path: str = "/tmp", agent: Optional[str] = None) -> ListResult:
        """The entries of a directory under /tmp: name, type, size, mode and mtime.

        Raises:
            SandboxError: no such directory (404), not a directory (400), and the rest.
        """
        data = self.call("POST", "/api/list", {"path": path}, agent=agent)
        entries = [FileEntry(name=str(e.get("name", "")), type=str(e.get("type", "other")),
                             size=int(e.get("size", 0)), mode=str(e.get("mode", "")),
                             mtime=int(e.get("mtime", 0)))
                   for e in data.get("entries", []) if isinstance(e, dict)]
        return ListResult(path=str(data.get("path", path)), entries=entries,
                          count=int(data.get("count", len(entries))),
                          truncated=bool(data.get("truncated", False)))

    # ---- reports ----

    def health(self) -> Dict[str, Any]:
        """The health report: status, version, counters, profile and limits, isolation."""
        return self.call("GET", "/api/health")

    def agents(self) -> List[Dict[str, Any]]:
        """One record per registered agent: execs, blocked, bytes, tokens, budget, model."""
        return list(self.call("GET", "/api/agents").get("agents", []))

    def audit(self, agent: Optional[str] = None, *, limit: Optional[int] = None,
              offset: Optional[int] = None, order: Optional[str] = None) -> List[str]:
        """Audit entries, oldest retained first or with order="newest" newest first: 20 by
        default, or up to 50 of one agent's; limit (up to 256) and offset page through them."""
        return self.audit_page(agent, limit=limit, offset=offset, order=order).entries

    def audit_page(self, agent: Optional[str] = None, *, limit: Optional[int] = None,
                   offset: Optional[int] = None, order: Optional[str] = None) -> AuditPage:
        """A page of audit entries with the counts: retained, matched and returned."""
        query: List[Tuple[str, str]] = []
        if agent:
            query.append(("agent", agent))
        if limit is not None:
            query.append(("limit", str(int(limit))))
        if offset is not None:
            query.append(("offset", str(int(offset))))
        if order is not None:
            query.append(("order", order))
        path = "/api/audit"
        if query:
            path += "?" + urllib.parse.urlencode(query, quote_via=urllib.parse.quote)
        data = self.call("GET", path)
        entries = [str(e) for e in data.get("entries", [])]
        return AuditPage(entries=entries, total=int(data.get("total", len(entries))),
                         matched=int(data.get("matched", len(entries))),
                         returned=int(data.get("returned", len(entries))),
                         offset=int(data.get("offset", offset or 0)))

    def reset_agent(self, name: str) -> Dict[str, Any]:
        """Resets one agent (admin): its queued and running runs are cancelled, its workspace
        removed, its counters cleared. Returns {"ok", "agent", "runs_cancelled"}.

        Raises:
            SandboxError: no such agent (404).
        """
        return self.call("DELETE", "/api/agents/" + urllib.parse.quote(name, safe=""))

    def set_agent_profile(self, name: str, profile: Optional[Union[str, int]]) -> Dict[str, Any]:
        """Gives one agent a profile of its own (admin): "strict", "moderate", "permissive"
        or 0 to 2; None clears it, so the agent follows the global profile. Returns
        {"ok", "agent", "profile", "own", "timeout_ms", ..., "persisted", "reason"}: the
        profile and limits that now hold for the agent's runs.

        Raises:
            SandboxError: a profile the server does not know (400).
        """
        return self.call("POST", "/api/agents/" + urllib.parse.quote(name, safe="") + "/profile", {"profile": profile})

    def policy(self) -> Dict[str, Any]:
        """The blacklist, the whitelist, the profile number and the rate and budget settings."""
        return self.call("GET", "/api/policy")

    # ---- any route ----

    def call(self, method: str, path: str, body: Optional[Mapping[str, Any]] = None,
             agent: Optional[str] = None) -> Dict[str, Any]:
        """Sends one request to any route ("/api/config", "/api/budget", ...) and returns the
        decoded JSON answer; a status other than 200 raises the matching error.

        Raises:
            AuthError, PolicyRefused, RateLimited: for 401, 403 and 429.
            SandboxError: any other refusal, or no usable answer.
        """
        with self.open_stream(method, path, body, agent=agent, accept="application/json") as answer:
            try:
                raw = answer.read()
            except (socket.timeout, ConnectionError) as failure:
                raise SandboxError("cannot reach %s: %s" % (self.url, failure)) from failure
            return _decode(raw, answer.status)

    def open_stream(self, method: str, path: str, body: Optional[Mapping[str, Any]] = None,
                    agent: Optional[str] = None, headers: Optional[Mapping[str, str]] = None,
                    timeout: Optional[float] = None, accept: str = "text/event-stream") -> Any:
        """Sends one request and returns the open answer (an http.client.HTTPResponse) to
        read as it comes; timeout bounds the wait for each read. A status other than 2xx
        raises the matching error, as call() does."""
        sent = {"Accept": accept}
        if self._authorization:
            sent["Authorization"] = self._authorization
        agent = agent if agent is not None else self.agent
        if agent is not None:
            sent["X-Agent"] = agent
        sent.update(headers or {})
        data = None
        if body is not None:
            # UTF-8 as is rather than \u escapes: the shortest form of the command.
            data = json.dumps(body, ensure_ascii=False, separators=(",", ":")).encode("utf-8")
            sent["Content-Type"] = "application/json"
        request = urllib.request.Request(self.url + path, data=data, headers=sent, method=method)
        try:
            return self._opener.open(request, timeout=self.timeout if timeout is None else timeout)
        except urllib.error.HTTPError as refusal:
            raise _error_for(refusal) from None
        except (urllib.error.URLError, socket.timeout, ConnectionError) as failure:
            reason = getattr(failure, "reason", failure)
            raise SandboxError("cannot reach %s: %s" % (self.url, reason)) from failure


def _exec_body(cmd: str, model: Optional[str], tokens_in: Optional[int], tokens_out: Optional[int], *,
               cwd: Optional[str], env: Optional[Mapping[str, str]], stdin: Optional[Any],
               stdin_encoding: Optional[str], timeout_ms: Optional[int],
               merge_stderr: Optional[bool]) -> Dict[str, Any]:
    body: Dict[str, Any] = {"cmd": cmd}
    if cwd is not None:
        body["cwd"] = cwd
    if env is not None:
        body["env"] = dict(env)
    if stdin is not None:
        if isinstance(stdin, (bytes, bytearray, memoryview)):
            body["stdin"] = _base64(bytes(stdin))
            body["stdin_encoding"] = "base64"
        else:
            body["stdin"] = str(stdin)
    if stdin_encoding is not None:
        body["stdin_encoding"] = stdin_encoding
    if timeout_ms is not None:
        body["timeout_ms"] = int(timeout_ms)
    if merge_stderr is not None:
        body["merge_stderr"] = bool(merge_stderr)
    if model is not None:
        body["model"] = model
    if tokens_in is not None:
        body["tokens_in"] = int(tokens_in)
    if tokens_out is not None:
        body["tokens_out"] = int(tokens_out)
    return body


def exec_result(data: Dict[str, Any]) -> ExecResult:
    """An ExecResult of the server's exec answer."""
    stdout = str(data.get("stdout", ""))
    stderr = str(data.get("stderr", ""))
    return ExecResult(stdout=stdout,
                      exit_code=int(data.get("exit_code", -1)),
                      duration_ms=int(data.get("duration_ms", 0)),
                      files=[str(f) for f in data.get("files", [])],
                      timed_out=bool(data.get("timed_out", False)),
                      stderr=stderr,
                      stdout_bytes=int(data.get("stdout_bytes", len(stdout.encode("utf-8")))),
                      stderr_bytes=int(data.get("stderr_bytes", len(stderr.encode("utf-8")))),
                      stdout_truncated=bool(data.get("stdout_truncated", False)),
                      stderr_truncated=bool(data.get("stderr_truncated", False)),
                      stdout_lossy=bool(data.get("stdout_lossy", False)),
                      stderr_lossy=bool(data.get("stderr_lossy", False)),
                      killed_by=data.get("killed_by"),
                      call=data.get("call"),
                      ignored_fields=[str(f) for f in data.get("ignored_fields", [])],
                      raw=data)


def _decode(raw: bytes, status: int) -> Dict[str, Any]:
    try:
        # strict=False: a raw control byte inside a string must not lose the whole answer.
        value = json.loads(raw.decode("utf-8", "replace"), strict=False)
    except ValueError:
        raise SandboxError("answer is not JSON: %r" % raw[:200], status) from None
    if not isinstance(value, dict):
        raise SandboxError("answer is not a JSON object: %r" % raw[:200], status)
    return value


def _error_for(refusal: urllib.error.HTTPError) -> SandboxError:
    try:
        raw = refusal.read()
    finally:
        refusal.close()
    status = refusal.code
    try:
        body = _decode(raw, status)
    except SandboxError:
        body = {}
    message = str(body.get("error") or refusal.reason or "HTTP %d" % status)
    if status == 401:
        return AuthError(message, status, body)
    if status == 403:
        return PolicyRefused(message, status, body)
    if status == 429:
        return RateLimited(message, status, body, _retry_after(refusal.headers.get("Retry-After")))
    return SandboxError(message, status, body)


def _retry_after(value: Optional[str]) -> Optional[float]:
    if value is None:
        return None
    try:
        return max(0.0, float(value.strip()))
    except ValueError:
        return None
