"""Output read from the terminal and not yet consumed, with its bound."""

from __future__ import annotations

from typing import Any


class OutputBuffer:
    """The terminal's output waiting for expect() and read(): text or bytes, in pieces joined when searched.

    Holding the pieces apart keeps appending cheap under a flood; `limit`
    (None: no bound) is where the terminal stops taking more, and what
    trim() brings a full buffer back under.
    """

    def __init__(self, empty: str | bytes, limit: int | None) -> None:
        self._empty: Any = empty
        self._pieces: list[Any] = []
        self._length = 0
        self.limit = limit

    def __len__(self) -> int:
        return self._length

    @property
    def full(self) -> bool:
        return self.limit is not None and self._length >= self.limit

    def text(self) -> Any:
        """Everything held, as one string."""
        if len(self._pieces) > 1:
            self._pieces = [self._empty.join(self._pieces)]
        return self._pieces[0] if self._pieces else self._empty

    def append(self, data: Any) -> None:
        if data:
            self._pieces.append(data)
            self._length += len(data)

    def take(self, end: int) -> Any:
        """Removes and returns the first `end` characters."""
        held = self.text()
        rest = held[end:]
        self._pieces = [rest] if rest else []
        self._length = len(rest)
        return held[:end]

    def trim(self) -> bool:
        """Drops the oldest half of a full buffer (a wait for what never comes keeps memory flat)."""
        if not self.full:
            return False
        assert self.limit is not None
        self.take(self._length - self.limit // 2)
        return True
