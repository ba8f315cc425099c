"""Errors raised by the client.

Every refusal of the server arrives as one of these, carrying the server's own message
("command blocked by blacklist", "per-agent rate limit exceeded", ...), the HTTP status
and the decoded JSON body, so a caller can branch on the class and show the message.
"""
from typing import Any, Dict, Optional

__all__ = ["SandboxError", "PolicyRefused", "RateLimited", "AuthError", "RunTimeout"]


class SandboxError(Exception):
    """Base of every error of the client.

    Attributes:
        message: the server's "error" text, or a description of a transport failure.
        status: the HTTP status, or None when no answer arrived (connection refused,
            time-out, an answer that is not JSON) or the error came as the exit event of
            a stream that had begun.
        body: the decoded JSON body of the answer ({} when there was none).
    """

    def __init__(self, message: str, status: Optional[int] = None,
                 body: Optional[Dict[str, Any]] = None) -> None:
        super().__init__(message)
        self.message = message
        self.status = status
        self.body: Dict[str, Any] = body or {}

    def __str__(self) -> str:
        if self.status is None:
            return self.message
        return "%s (HTTP %d)" % (self.message, self.status)


class PolicyRefused(SandboxError):
    """403: the server refused the request (sensitive path, blacklist, whitelist, a path
    outside /tmp/, or a route that an agent token may not use).

    Attributes:
        rule: what matched, when the server names it (a blacklist rule, a sensitive
            pattern such as "$(" or the command word no whitelist rule admits); else None.
    """

    @property
    def rule(self) -> Optional[str]:
        value = self.body.get("rule")
        return value if isinstance(value, str) else None


class RateLimited(SandboxError):
    """429: the global request limit, the agent's rate window or its token budget.

    Attributes:
        retry_after: seconds the server asks to wait (its Retry-After header), or None.
        tokens_used: the agent's reported tokens when its budget refused the request.
        budget: the budget that refused it.
    """

    def __init__(self, message: str, status: Optional[int] = None,
                 body: Optional[Dict[str, Any]] = None,
                 retry_after: Optional[float] = None) -> None:
        super().__init__(message, status, body)
        self.retry_after = retry_after

    @property
    def tokens_used(self) -> Optional[int]:
        value = self.body.get("tokens_used")
        return value if isinstance(value, int) else None

    @property
    def budget(self) -> Optional[int]:
        value = self.body.get("budget")
        return value if isinstance(value, int) else None


class AuthError(SandboxError):
    """401: the user name and password, or the token, were not accepted."""


class RunTimeout(SandboxError, TimeoutError):
    """Run.wait(timeout) ended with the run still going (it goes on). Also a TimeoutError."""
