"""The broker's wire: notification lines out, and the gate that keeps unconfirmed input bounded."""

from __future__ import annotations

import base64
import json
from collections import deque
from typing import Any, Callable

# Input goes in pieces of this many bytes: a large paste becomes lines of a
# modest size that the broker can interleave with other commands.
INPUT_PIECE_BYTES = 65536
# The broker holds at most 4 MiB of commands it has not acted on, then stops
# reading its standard input. A paste the program has not read would hold
# up what follows it in the pipe, the flow-control acknowledgements above
# all, and with them the output the program must write before it reads
# more. So input the broker has not confirmed (a pong answers a ping once
# every line before it has been taken) is kept well under that bound.
UNCONFIRMED_BYTES = 1048576
PING_EVERY_BYTES = 262144


def notification(method: str, params: dict[str, Any]) -> bytes:
    """One JSON-RPC 2.0 notification line for the broker's standard input."""
    return (json.dumps({"jsonrpc": "2.0", "method": method, "params": params}, separators=(",", ":"))
            + "\n").encode()


def input_lines(data: bytes) -> list[bytes]:
    """terminal.input lines that type `data`."""
    return [notification("terminal.input", {"data_b64": base64.b64encode(data[start:start + INPUT_PIECE_BYTES])
                                            .decode("ascii")})
            for start in range(0, len(data), INPUT_PIECE_BYTES)]


class InputGate:
    """Passes input lines on, holding back those above the bound until a pong confirms earlier ones."""

    def __init__(self, write: Callable[[bytes], None]) -> None:
        self._write = write
        self._held: deque[bytes] = deque()
        self._sent = 0
        self._confirmed = 0
        self._pinged = 0
        self._nonce = 0
        # nonce of each ping not yet answered -> bytes of input sent before it
        self._pings: dict[int, int] = {}
        self._on_empty: list[Callable[[], None]] = []

    @property
    def holding(self) -> bool:
        """Whether input waits here for the broker to confirm earlier input."""
        return bool(self._held)

    def push(self, lines: list[bytes]) -> None:
        self._held.extend(lines)
        self._flush()

    def when_empty(self, callback: Callable[[], None]) -> None:
        """Calls back once nothing is held (at once if nothing is)."""
        if self._held:
            self._on_empty.append(callback)
        else:
            callback()

    def confirm(self, nonce: Any) -> None:
        """A pong: every input line sent before its ping has been taken."""
        covered = self._pings.get(nonce) if isinstance(nonce, int) else None
        if covered is None:
            return
        for earlier in [n for n in self._pings if n <= nonce]:
            del self._pings[earlier]
        self._confirmed = max(self._confirmed, covered)
        self._flush()

    def _flush(self) -> None:
        # What goes out at once is written at once: a keystroke and its ping
        # are one write on the way to its echo.
        out = bytearray()
        while self._held:
            unconfirmed = self._sent - self._confirmed
            # One line always goes when nothing is unconfirmed, however long.
            if unconfirmed > 0 and unconfirmed + len(self._held[0]) > UNCONFIRMED_BYTES:
                break
            line = self._held.popleft()
            out += line
            self._sent += len(line)
            if self._sent - self._pinged >= PING_EVERY_BYTES:
                out += self._ping()
        # Held input waits for a pong: ask for one if none is on its way.
        # Typing alone asks for none; what it leaves unconfirmed counts
        # towards the next ping.
        if self._held and self._sent > self._pinged and not self._pings:
            out += self._ping()
        if out:
            self._write(bytes(out))
        if not self._held:
            waiting, self._on_empty = self._on_empty, []
            for callback in waiting:
                callback()

    def _ping(self) -> bytes:
        self._nonce += 1
        self._pinged = self._sent
        self._pings[self._nonce] = self._sent
        return notification("terminal.ping", {"nonce": self._nonce})


def control_character(char: str) -> bytes | None:
    """The byte Ctrl plus `char` types (Ctrl-A is 0x01, Ctrl-? is DEL), None for a character without one."""
    char = char.lower()
    if len(char) == 1 and "a" <= char <= "z":
        return bytes([ord(char) - ord("a") + 1])
    codes = {"@": 0, "`": 0, "[": 27, "{": 27, "\\": 28, "|": 28, "]": 29, "}": 29, "^": 30, "~": 30,
             "_": 31, "?": 127, " ": 0}
    return bytes([codes[char]]) if char in codes else None
