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
from typing import Any, Dict, List, Mapping, Optional, Tuple

from .errors import AuthError, PolicyRefused, RateLimited, SandboxError

__all__ = ["Terox", "ExecResult", "WriteResult", "ReadResult"]

DEFAULT_URL = "http://127.0.0.1:7575"
# The permissive profile lets a command run for 300 s; the answer comes after it ends.
DEFAULT_TIMEOUT_S = 330.0


@dataclass
class ExecResult:
    """The outcome of a command the sandbox ran.

    stdout holds standard output and standard error together (the server merges them);
    files lists the names a command printed after the file-list marker line; timed_out is
    True when the server ended the run at its time-out.
    """
    stdout: str
    exit_code: int
    duration_ms: int
    files: List[str] = field(default_factory=list)
    timed_out: bool = False
    stderr: str = ""
    raw: Dict[str, Any] = field(default_factory=dict, repr=False)


@dataclass
class WriteResult:
    """A file written under /tmp/: its path and the bytes written."""
    path: str
    bytes_written: int


@dataclass
class ReadResult:
    """A file read from /tmp/: its size on disk and up to 65,000 bytes of its content."""
    path: str
    size: int
    content: str
    truncated: bool


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
             tokens_in: Optional[int] = None, tokens_out: Optional[int] = None) -> ExecResult:
        """Runs a shell command in the sandbox and returns its output and exit code.

        The command goes to "/bin/sh -c" (at most 2,000 bytes). model, tokens_in and
        tokens_out are reported to the agent's record and count against its token budget.
        A nonzero exit code is a result, not an error.

        Raises:
            PolicyRefused: the screen or the policy refused the command (403).
            RateLimited: the agent's rate window or token budget is used up (429).
            AuthError: the credential was refused (401).
        """
        body: Dict[str, Any] = {"cmd": cmd}
        if model is not None:
            body["model"] = model
        if tokens_in is not None:
            body["tokens_in"] = int(tokens_in)
        if tokens_out is not None:
            body["tokens_out"] = int(tokens_out)
        data = self.call("POST", "/api/exec", body, agent=agent)
        return ExecResult(stdout=str(data.get("stdout", "")),
                          exit_code=int(data.get("exit_code", -1)),
                          duration_ms=int(data.get("duration_ms", 0)),
                          files=[str(f) for f in data.get("files", [])],
                          timed_out=bool(data.get("timed_out", False)),
                          stderr=str(data.get("stderr", "")),
                          raw=data)

    def write(self, path: str, content: str, agent: Optional[str] = None) -> WriteResult:
        """Writes a text file under /tmp/ (the agent's workspace where the server has one),
        for example a script that a later exec runs. At most 65,000 bytes are kept.

        Raises:
            PolicyRefused: the path is not under /tmp/ or holds "..".
            SandboxError: a missing field (400) or a file that cannot be created (500).
        """
        data = self.call("POST", "/api/write", {"path": path, "content": content}, agent=agent)
        return WriteResult(path=str(data.get("path", path)),
                           bytes_written=int(data.get("bytes_written", 0)))

    def read(self, path: str, agent: Optional[str] = None) -> ReadResult:
        """Reads a file under /tmp/ (up to 65,000 bytes of it).

        Raises:
            PolicyRefused: the path breaks the path rules (403).
            SandboxError: no such file (404) or not a regular file (413).
        """
        data = self.call("POST", "/api/read", {"path": path}, agent=agent)
        return ReadResult(path=str(data.get("path", path)), size=int(data.get("size", 0)),
                          content=str(data.get("content", "")),
                          truncated=bool(data.get("truncated", False)))

    # ---- reports ----

    def health(self) -> Dict[str, Any]:
        """The health report: status, version, counters, profile and limits, isolation."""
        return self.call("GET", "/api/health")

    def agents(self) -> List[Dict[str, Any]]:
        """One record per registered agent: execs, blocked, bytes, tokens, budget, model."""
        return list(self.call("GET", "/api/agents").get("agents", []))

    def audit(self, agent: Optional[str] = None) -> List[str]:
        """Audit entries, oldest retained first (20, or up to 50 of one agent's)."""
        path = "/api/audit"
        if agent:
            path += "?agent=" + urllib.parse.quote(agent, safe="")
        return [str(e) for e in self.call("GET", path).get("entries", [])]

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
        headers = {"Accept": "application/json"}
        if self._authorization:
            headers["Authorization"] = self._authorization
        agent = agent if agent is not None else self.agent
        if agent is not None:
            headers["X-Agent"] = agent
        data = None
        if body is not None:
            # UTF-8 as is rather than \u escapes: the shortest form of the command.
            data = json.dumps(body, ensure_ascii=False, separators=(",", ":")).encode("utf-8")
            headers["Content-Type"] = "application/json"
        request = urllib.request.Request(self.url + path, data=data, headers=headers,
                                         method=method)
        try:
            with self._opener.open(request, timeout=self.timeout) as answer:
                return _decode(answer.read(), answer.status)
        except urllib.error.HTTPError as refusal:
            raise _error_for(refusal) from None
        except (urllib.error.URLError, socket.timeout, ConnectionError) as failure:
            reason = getattr(failure, "reason", failure)
            raise SandboxError("cannot reach %s: %s" % (self.url, reason)) from failure


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
