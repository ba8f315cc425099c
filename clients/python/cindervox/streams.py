"""Server-sent events as the client reads them: a streamed exec's and a background run's.

A stream is read line by line as the bytes come, so each event is handed over the moment
its blank line arrives. The server's events:

    stdout, stderr   {"text": "...", "lossy": true?}   output as the command wrote it
    dropped          {"stream": "stdout", "bytes": N}  output the reader did not get
    exit             the last event: the exec's answer, or the run's status

A background run's events also carry an id (the output offset after the event); a stream
that breaks before its exit event goes on from there with Last-Event-ID.
"""
import json
import socket
import time
from dataclasses import dataclass, field
from typing import Any, Callable, Dict, Iterator, Optional, Tuple

from .errors import SandboxError

__all__ = ["StreamEvent", "EventStream"]


@dataclass
class StreamEvent:
    """One event of a stream.

    kind is "stdout", "stderr", "dropped" or "exit" (an event the client does not know
    keeps its name, with its data in data). text and lossy are an output event's; stream
    and bytes say, for "dropped", which stream lost how many bytes (for output events,
    stream is the kind). result is the exit event's: an ExecResult for a streamed exec, a
    RunStatus for a background run. id is a background run's output offset after the event
    (None for a streamed exec). data is the event's JSON as it came.
    """
    kind: str
    text: str = ""
    lossy: bool = False
    stream: Optional[str] = None
    bytes: int = 0
    result: Any = None
    id: Optional[int] = None
    data: Dict[str, Any] = field(default_factory=dict, repr=False)


def read_events(answer: Any) -> Iterator[Tuple[str, str, Optional[str]]]:
    """(event name, data text, id or None) for each event of an open text/event-stream
    answer, as each arrives; ends where the body ends. Comments and retry fields are
    skipped; several data lines are joined by line feeds, as the format has it."""
    name, data, event_id = "", [], None
    while True:
        line = answer.readline()
        if not line:
            return
        text = line.decode("utf-8", "replace").rstrip("\n").rstrip("\r")
        if text == "":
            if data or name:
                yield name or "message", "\n".join(data), event_id
            name, data = "", []
            continue
        if text.startswith(":"):
            continue
        key, _, value = text.partition(":")
        if value.startswith(" "):
            value = value[1:]
        if key == "event":
            name = value
        elif key == "data":
            data.append(value)
        elif key == "id":
            event_id = value


def _timed_out(error: BaseException) -> bool:
    """Whether a time-out lies behind error (urllib wraps it in a URLError)."""
    while error is not None:
        if isinstance(error, (socket.timeout, TimeoutError)) or isinstance(getattr(error, "reason", None), socket.timeout):
            return True
        error = error.__cause__
    return False


def make_event(name: str, data: Dict[str, Any], event_id: Optional[str]) -> StreamEvent:
    """A StreamEvent of an event's name and decoded data (exit's result left to the caller)."""
    number = int(event_id) if event_id is not None and event_id.isdigit() else None
    if name in ("stdout", "stderr"):
        return StreamEvent(name, text=str(data.get("text", "")), lossy=bool(data.get("lossy", False)),
                           stream=name, id=number, data=data)
    if name == "dropped":
        return StreamEvent(name, stream=str(data.get("stream", "stdout")), bytes=int(data.get("bytes", 0)),
                           id=number, data=data)
    return StreamEvent(name, id=number, data=data)


class EventStream:
    """The events of one stream, as an iterator: `for event in stream`. The last one is
    the exit event, whose result is also kept in `result`; an exit that reports an error
    (a run that could not start, a reset that cancelled it) raises SandboxError with the
    server's message instead.

    Leaving early (close(), or the end of a `with` block) closes the connection: for a
    streamed exec the server then cancels the command; a background run goes on.

    A resumable stream (a background run's) that breaks before its exit event, or stays
    silent for the client's time-out, reconnects from the last event's id; without
    progress it gives up after a few tries.
    """

    _MAX_EMPTY_RECONNECTS = 3

    def __init__(self, connect: Callable[[Optional[int], float], Any],
                 finish: Callable[[Dict[str, Any]], Any], *, timeout: float,
                 resume_from: Optional[int] = None, resumable: bool = False,
                 deadline: Optional[float] = None, on_deadline: Optional[Callable[[], Exception]] = None) -> None:
        self._connect = connect
        self._finish = finish
        self._timeout = timeout
        self._resumable = resumable
        self._deadline = deadline
        self._on_deadline = on_deadline
        self.last_id: Optional[int] = resume_from
        self.result: Any = None
        self.done = False
        self._answer = self._open()
        self._events = self._read()

    def __iter__(self) -> "EventStream":
        return self

    def __next__(self) -> StreamEvent:
        if self.done:
            raise StopIteration
        try:
            return next(self._events)
        except BaseException:
            self.close()
            raise

    def __enter__(self) -> "EventStream":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def close(self) -> None:
        """Closes the connection; the iterator ends."""
        self.done = True
        answer, self._answer = self._answer, None
        if answer is not None:
            answer.close()

    def _read_timeout(self) -> float:
        if self._deadline is None:
            return self._timeout
        left = self._deadline - time.monotonic()
        if left <= 0:
            raise self._on_deadline() if self._on_deadline else SandboxError("time is up")
        return min(self._timeout, left)

    def _open(self) -> Any:
        timeout = self._read_timeout()
        try:
            return self._connect(self.last_id, timeout)
        except SandboxError as failure:
            # An answer slower than the time left is the deadline's, not the server's fault.
            if self._deadline is not None and timeout < self._timeout and _timed_out(failure):
                raise (self._on_deadline() if self._on_deadline else failure) from failure
            raise

    def _read(self) -> Iterator[StreamEvent]:
        empty_reconnects = 0
        while True:
            progressed, silent = False, False
            try:
                for name, text, event_id in read_events(self._answer):
                    event = self._event(name, text, event_id)
                    progressed = True
                    if event.kind == "exit":
                        self.close()
                        yield event
                        return
                    yield event
            except (socket.timeout, TimeoutError):
                silent = True
            except OSError as failure:
                if not self._resumable:
                    raise SandboxError("the event stream broke: %s" % failure) from failure
            if silent and not self._resumable:
                raise SandboxError("no event within %s s" % self._timeout)
            if not self._resumable:
                raise SandboxError("the event stream ended before its exit event")
            empty_reconnects = 0 if progressed or silent else empty_reconnects + 1
            if empty_reconnects > self._MAX_EMPTY_RECONNECTS:
                raise SandboxError("the event stream keeps ending before its exit event")
            self._answer.close()
            self._answer = self._open()

    def _event(self, name: str, text: str, event_id: Optional[str]) -> StreamEvent:
        try:
            # strict=False: a raw control byte inside a string must not lose the event.
            data = json.loads(text, strict=False)
        except ValueError:
            raise SandboxError("an event's data is not JSON: %r" % text[:200]) from None
        if not isinstance(data, dict):
            raise SandboxError("an event's data is not a JSON object: %r" % text[:200])
        event = make_event(name, data, event_id)
        if event.id is not None:
            self.last_id = event.id
        if event.kind == "exit":
            if data.get("ok") is False:
                raise SandboxError(str(data.get("error") or "the run failed"), None, data)
            event.result = self.result = self._finish(data)
        return event
