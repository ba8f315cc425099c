"""Python client of the Cindervox command sandbox.

    from cindervox import Terox
    terox = Terox("http://127.0.0.1:7575", auth=("terox", "wickerpod"))
    print(terox.exec("echo hello", agent="my-agent").stdout)

Refusals raise `PolicyRefused` (403), `RateLimited` (429) or `AuthError` (401), all
subclasses of `SandboxError`, with the server's message.
"""
from .client import AuditPage, ExecResult, FileEntry, ListResult, ReadResult, Terox, WriteResult
from .errors import AuthError, PolicyRefused, RateLimited, SandboxError

__version__ = "1.0.6"
__all__ = ["Terox", "ExecResult", "WriteResult", "ReadResult", "FileEntry", "ListResult", "AuditPage", "SandboxError",
           "PolicyRefused", "RateLimited", "AuthError", "__version__"]
