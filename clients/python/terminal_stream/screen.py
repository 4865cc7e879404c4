"""The rendered screen, from a terminal emulator library fed with the same output (pyte, optional)."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any


@dataclass(frozen=True)
class ScreenText:
    """What a person would see: one string per row (padded to the width) and the cursor (row, column), from 0."""

    rows: list[str]
    cursor: tuple[int, int]

    def __str__(self) -> str:
        return "\n".join(row.rstrip() for row in self.rows)


class TerminalScreen:
    """A pyte screen fed with the terminal's bytes."""

    def __init__(self, cols: int, rows: int) -> None:
        try:
            import pyte  # type: ignore[import]
        except ImportError as error:
            raise RuntimeError("screen=True needs the terminal emulator library pyte: "
                               "apt-get install python3-pyte (Debian), or pip install pyte") from error
        self._screen: Any = pyte.Screen(cols, rows)
        self._stream: Any = pyte.ByteStream(self._screen)

    def feed(self, data: bytes) -> None:
        self._stream.feed(data)

    def resize(self, cols: int, rows: int) -> None:
        self._screen.resize(lines=rows, columns=cols)

    def text(self) -> ScreenText:
        cursor = self._screen.cursor
        return ScreenText(list(self._screen.display), (cursor.y, cursor.x))
