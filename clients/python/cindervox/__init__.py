"""Python client of the Cindervox command sandbox.

    from cindervox import Terox
    terox = Terox("http://127.0.0.1:7575", auth=("terox", "wickerpod"))
    print(terox.exec("echo hello", agent="my-agent").stdout)

    for event in terox.stream("make", agent="my-agent"):      # output as it is written
        print(event.kind, event.text or event.result)

    run = terox.start("cat", agent="my-agent")                 # a background run
    run.write_stdin("hello\n", eof=True)
    print(run.wait().exit_code, run.output().output)

Refusals raise `PolicyRefused` (403), `RateLimited` (429) or `AuthError` (401), all
subclasses of `SandboxError`, with the server's message; `Run.wait` past its time-out
raises `RunTimeout`.
"""
from .client import AuditPage, ExecResult, FileEntry, ListResult, ReadResult, Terox, WriteResult
from .errors import AuthError, PolicyRefused, RateLimited, RunTimeout, SandboxError
from .runs import Run, RunOutput, RunStatus, StdinResult
from .streams import EventStream, StreamEvent

__version__ = "1.0.6"
__all__ = ["Terox", "ExecResult", "WriteResult", "ReadResult", "FileEntry", "ListResult", "AuditPage",
           "StreamEvent", "EventStream", "Run", "RunStatus", "RunOutput", "StdinResult", "SandboxError",
           "PolicyRefused", "RateLimited", "AuthError", "RunTimeout", "__version__"]
