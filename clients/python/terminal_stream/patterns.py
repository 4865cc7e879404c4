"""What expect() looks for: regular expressions or exact strings, EOF and TIMEOUT, found in pexpect's order."""

from __future__ import annotations

import re
from dataclasses import dataclass
from typing import Any, AnyStr, Sequence, Union

from .errors import EOF, TIMEOUT

Pattern = Union[str, bytes, "re.Pattern[str]", "re.Pattern[bytes]", type[EOF], type[TIMEOUT]]


@dataclass(frozen=True)
class Found:
    """Where a pattern matched in the buffer."""

    index: int
    start: int
    end: int
    match: Any


class Searcher:
    """A compiled list of patterns.

    The match that starts first in the buffer wins; of several that start at
    the same place, the one listed first. Each search covers everything not
    yet consumed, so a pattern split across reads of the terminal is found.
    """

    def __init__(self, patterns: Pattern | Sequence[Pattern], *, exact: bool, encoding: str | None,
                 ignorecase: bool = False) -> None:
        if isinstance(patterns, (str, bytes, re.Pattern)) or patterns in (EOF, TIMEOUT):
            patterns = [patterns]  # type: ignore[list-item]
        self.eof_index: int | None = None
        self.timeout_index: int | None = None
        self._items: list[tuple[int, Any]] = []
        for index, pattern in enumerate(patterns):  # type: ignore[arg-type]
            if pattern is EOF:
                self.eof_index = index if self.eof_index is None else self.eof_index
            elif pattern is TIMEOUT:
                self.timeout_index = index if self.timeout_index is None else self.timeout_index
            else:
                self._items.append((index, self._compile(pattern, exact, encoding, ignorecase)))
        self._exact = exact

    @staticmethod
    def _compile(pattern: Any, exact: bool, encoding: str | None, ignorecase: bool) -> Any:
        if isinstance(pattern, re.Pattern):
            if exact:
                raise TypeError("expect_exact() takes strings, not compiled expressions")
            pattern_is_text = isinstance(pattern.pattern, str)
            if pattern_is_text != (encoding is not None):
                raise TypeError(f"a {'text' if pattern_is_text else 'bytes'} expression cannot match "
                                f"{'text' if encoding else 'bytes'} output (encoding={encoding!r})")
            return pattern
        if isinstance(pattern, bytes) and encoding is not None:
            pattern = pattern.decode(encoding)
        elif isinstance(pattern, str) and encoding is None:
            pattern = pattern.encode("utf-8")
        elif not isinstance(pattern, (str, bytes)):
            raise TypeError(f"a pattern must be a string, bytes, a compiled expression, EOF or TIMEOUT, "
                            f"not {type(pattern).__name__}")
        if exact:
            return pattern
        return re.compile(pattern, re.DOTALL | (re.IGNORECASE if ignorecase else 0))

    @property
    def has_patterns(self) -> bool:
        return bool(self._items)

    def search(self, buffer: AnyStr) -> Found | None:
        """The first match in `buffer`, or None."""
        best: Found | None = None
        for index, item in self._items:
            if self._exact:
                start = buffer.find(item)
                if start < 0 or (best is not None and start >= best.start):
                    continue
                best = Found(index, start, start + len(item), buffer[start:start + len(item)])
            else:
                match = item.search(buffer)
                if match is None or (best is not None and match.start() >= best.start):
                    continue
                best = Found(index, match.start(), match.end(), match)
        return best
