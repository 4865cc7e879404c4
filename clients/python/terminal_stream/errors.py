"""The exceptions of the client, under pexpect's names where the meaning is pexpect's."""

from __future__ import annotations


class TerminalStreamError(Exception):
    """Base of every error this package raises (pexpect's ``ExceptionPexpect``)."""


class EOF(TerminalStreamError):
    """The terminal's output has ended: the shell exited and everything it printed was read.

    Also usable as a pattern in ``expect()``, where it matches the end instead of raising.
    """


class TIMEOUT(TerminalStreamError):
    """The wait's deadline passed. Also usable as a pattern in ``expect()``."""


class BrokerError(EOF):
    """The broker ended without saying how the shell ended.

    It could not start the shell, or the transport that carried it (a launcher
    such as ssh) failed. ``status`` is the broker's (or launcher's) exit status
    as asyncio gives it (negative: killed by that signal), ``stderr`` its last
    diagnostic lines. It is an ``EOF``, so ``except EOF`` still catches it, but
    ``expect()`` raises it even when ``EOF`` is one of the patterns: a lost
    transport is not the clean end of a session.
    """

    def __init__(self, message: str, status: int | None, stderr: str) -> None:
        detail = f"{message} ({describe_status(status)})"
        if stderr:
            detail += ": " + stderr.strip()
        super().__init__(detail)
        self.status = status
        self.stderr = stderr


class BrokerNotFound(TerminalStreamError, FileNotFoundError):
    """The broker binary or the launcher's program is not there."""


def describe_status(status: int | None) -> str:
    """An exit status as asyncio gives it, in words."""
    if status is None:
        return "status unknown"
    if status < 0:
        return f"signal {-status}"
    return f"status {status}"
