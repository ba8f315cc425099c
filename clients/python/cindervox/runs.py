"""Background runs: a command started with Terox.start goes on after its answer; a Run
reads its output (from an offset, or as events), writes its standard input, stops it and
waits for its end.
"""
import re
import time
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Dict, List, Optional, Union

from .errors import RateLimited, RunTimeout, SandboxError
from .streams import EventStream

if TYPE_CHECKING:
    from .client import Terox

__all__ = ["Run", "RunStatus", "RunOutput", "StdinResult"]

# An offset no run reaches: a status read from there carries no output.
_PAST_THE_END = 10 ** 18 - 1
# A write of at most this many bytes to a pipe is whole or nothing (Linux's PIPE_BUF), so
# text beyond ASCII goes in pieces of this size and no retry starts inside a character.
_PIPE_ATOMIC = 4096
# The most the stdin route takes in one request.
_STDIN_MAX = 65536


@dataclass
class RunStatus:
    """A background run's state: "running" or "exited". Once exited, exit_code (137 after
    a kill or its time-out), timed_out, killed_by ("memory", "seccomp") where they apply,
    or error when the command could not start; stopped when kill() ended it. cmd is the
    command's first 256 bytes (cmd_bytes its whole length), output_bytes every byte it
    wrote, stdin_open whether its input still takes writes."""
    run_id: int
    state: str
    agent: str = ""
    cmd: str = ""
    cmd_bytes: int = 0
    started: int = 0
    duration_ms: int = 0
    exit_code: Optional[int] = None
    timed_out: bool = False
    killed_by: Optional[str] = None
    error: Optional[str] = None
    stopped: bool = False
    stdin_open: bool = False
    output_bytes: int = 0
    raw: Dict[str, Any] = field(default_factory=dict, repr=False)

    @property
    def running(self) -> bool:
        return self.state == "running"


@dataclass
class RunOutput:
    """Output of a run from an offset: output starts at offset (later than asked when the
    server's ring no longer held that part; dropped says how many bytes were missed) and
    the next read goes on from next_offset. lossy: bytes that are not UTF-8 became U+FFFD."""
    output: str
    offset: int
    next_offset: int
    dropped: int
    status: RunStatus
    lossy: bool = False


@dataclass
class StdinResult:
    """A write to a run's input: the bytes given and written, and whether the input is
    still open (False after eof)."""
    bytes: int
    written: int
    stdin_open: bool


def run_status(data: Dict[str, Any]) -> RunStatus:
    exit_code = data.get("exit_code")
    return RunStatus(run_id=int(data.get("run_id", 0)), state=str(data.get("state", "")),
                     agent=str(data.get("agent", "")), cmd=str(data.get("cmd", "")),
                     cmd_bytes=int(data.get("cmd_bytes", 0)), started=int(data.get("started", 0)),
                     duration_ms=int(data.get("duration_ms", 0)),
                     exit_code=int(exit_code) if exit_code is not None else None,
                     timed_out=bool(data.get("timed_out", False)), killed_by=data.get("killed_by"),
                     error=data.get("error"), stopped=bool(data.get("stopped", False)),
                     stdin_open=bool(data.get("stdin_open", False)),
                     output_bytes=int(data.get("output_bytes", 0)), raw=data)


_ASCII_RUN = re.compile(rb"[\x00-\x7f]*")


def stdin_pieces(raw: bytes) -> List[bytes]:
    """raw cut for the stdin route: runs of ASCII in pieces of up to 65,536 bytes (a pipe
    that takes part of one leaves a rest that is text again), the rest in pieces of up to
    4,096 bytes ending on a character's end, which a pipe takes whole or not at all."""
    pieces = []
    at = 0
    while at < len(raw):
        end = _ASCII_RUN.match(raw, at, min(at + _STDIN_MAX, len(raw))).end()
        if end == at:
            end = min(at + _PIPE_ATOMIC, len(raw))
            while end < len(raw) and (raw[end] & 0xC0) == 0x80:
                end -= 1
        pieces.append(raw[at:end])
        at = end
    return pieces


class Run:
    """A background run of one server, named by its id. Every method is one request or one
    stream; the object holds no state but the id and the agent it acts for."""

    def __init__(self, terox: "Terox", run_id: int, agent: Optional[str] = None) -> None:
        self.terox = terox
        self.id = int(run_id)
        self.agent = agent

    def __repr__(self) -> str:
        return "Run(%d)" % self.id

    def _path(self, suffix: str = "") -> str:
        return "/api/runs/%d%s" % (self.id, suffix)

    def status(self) -> RunStatus:
        """The run's state, without its output.

        Raises:
            SandboxError: no such run (404): another agent's, or gone 10 minutes after its end.
        """
        return run_status(self.terox.call("GET", self._path("?offset=%d" % _PAST_THE_END), agent=self.agent))

    def output(self, offset: int = 0) -> RunOutput:
        """The run's output from offset (as much as the server's ring holds) and its state."""
        data = self.terox.call("GET", self._path("?offset=%d" % int(offset)), agent=self.agent)
        return RunOutput(output=str(data.get("output", "")), offset=int(data.get("offset", offset)),
                         next_offset=int(data.get("next_offset", offset)), dropped=int(data.get("dropped", 0)),
                         status=run_status(data), lossy=bool(data.get("lossy", False)))

    def events(self, last_event_id: Optional[int] = None) -> EventStream:
        """The run's output as events from the start, or after last_event_id (an event's id,
        the output offset after it): "stdout" events (the run's one stream), "dropped" for
        output the server's ring no longer held, and "exit" last with the RunStatus. A
        connection that breaks, or stays silent for the client's time-out, is opened again
        from the last id, so no output is read twice or missed."""
        return self._events(last_event_id, None)

    def _events(self, last_event_id: Optional[int], deadline: Optional[float]) -> EventStream:
        def connect(last_id: Optional[int], timeout: float) -> Any:
            headers = {} if last_id is None else {"Last-Event-ID": str(last_id)}
            return self.terox.open_stream("GET", self._path("/events"), None, agent=self.agent,
                                          headers=headers, timeout=timeout)

        def too_late() -> Exception:
            return RunTimeout("run %d is still running" % self.id)

        return EventStream(connect, run_status, timeout=self.terox.timeout, resume_from=last_event_id,
                           resumable=True, deadline=deadline, on_deadline=too_late)

    def write_stdin(self, data: Union[str, bytes], eof: bool = False) -> StdinResult:
        """Writes data (text, or bytes holding UTF-8 text) to the run's input; eof=True
        closes the input after it. Text beyond ASCII goes in pieces of 4,096 bytes, which
        the input pipe takes whole or not at all. While the pipe is full (the command is not
        reading) the rest is sent again, with growing pauses, for up to the client's
        time-out; a request refused by the server's per-second window waits its
        Retry-After.

        Raises:
            SandboxError: the run has ended or its input is closed (409), no such run (404),
                or the input stayed full for the client's time-out.
        """
        raw = data if isinstance(data, bytes) else str(data).encode("utf-8")
        try:
            raw.decode("utf-8")
        except UnicodeDecodeError:
            raise ValueError("stdin of a background run is text: the bytes given are not UTF-8") from None
        pieces = stdin_pieces(raw) or [b""]
        written = 0
        answer: Dict[str, Any] = {}
        for index, piece in enumerate(pieces):
            last = index == len(pieces) - 1
            answer = self._write_piece(piece, eof and last, raw_total=len(raw), before=written)
            written += len(piece)
        return StdinResult(bytes=len(raw), written=written, stdin_open=bool(answer.get("stdin_open", not eof)))

    def _write_piece(self, piece: bytes, eof: bool, raw_total: int, before: int) -> Dict[str, Any]:
        pause = 0.02
        stalled_since = time.monotonic()
        while True:
            body: Dict[str, Any] = {"data": piece.decode("utf-8")} if piece else {}
            if eof:
                body["eof"] = True
            try:
                answer = self.terox.call("POST", self._path("/stdin"), body, agent=self.agent)
            except RateLimited as limited:
                # A long input takes many requests: the per-second window paces them.
                if limited.message != "rate limit exceeded" or time.monotonic() - stalled_since > self.terox.timeout:
                    raise
                time.sleep(limited.retry_after or 1.0)
                continue
            taken = int(answer.get("written", len(piece)))
            if taken >= len(piece):
                return answer
            if taken > 0:
                piece = piece[taken:]
                if (piece[0] & 0xC0) == 0x80:
                    raise SandboxError("run %d took part of a character of its input" % self.id)
                before += taken
                stalled_since = time.monotonic()
                pause = 0.02
            if time.monotonic() - stalled_since > self.terox.timeout:
                raise SandboxError("run %d is not reading its input: %d of %d bytes written in %s s"
                                   % (self.id, before, raw_total, self.terox.timeout))
            time.sleep(pause)
            pause = min(pause * 2, 0.5)

    def kill(self) -> bool:
        """Kills the run with its whole process tree. True when it was running, False when
        it had ended already."""
        return bool(self.terox.call("DELETE", self._path(), agent=self.agent).get("stopped", False))

    def wait(self, timeout: Optional[float] = None) -> RunStatus:
        """Waits for the run's end and returns its final status (exit_code, ...), following
        its events from the output's current end.

        Raises:
            RunTimeout: still running after timeout seconds (also a TimeoutError).
        """
        deadline = None if timeout is None else time.monotonic() + timeout
        status = self.status()
        if not status.running:
            return status
        stream = self._events(status.output_bytes, deadline)
        with stream:
            for _ in stream:
                pass
        return stream.result
