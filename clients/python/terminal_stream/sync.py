"""pexpect's synchronous API over the same terminal: ``import terminal_stream.sync as pexpect``.

Every call runs the asyncio core on an event loop private to the calling
thread until the call's result is there; between calls nothing runs, and the
broker holds the program back as a full pipe would.
"""

from __future__ import annotations

import asyncio
import atexit
import os
import sys
import threading
import weakref
from typing import IO, Any, Awaitable, Iterator, Mapping, Sequence, TypeVar

from .errors import EOF, TIMEOUT, BrokerError, BrokerNotFound, TerminalStreamError
from .patterns import Pattern
from .screen import ScreenText
from .terminal import DEFAULT_FLOW_WINDOW, DEFAULT_MAX_BUFFER, USE_DEFAULT, Spawning, Terminal
from .terminal import spawn as spawn_terminal

__all__ = ["EOF", "TIMEOUT", "BrokerError", "BrokerNotFound", "ExceptionPexpect", "run", "spawn", "spawnu"]

#: pexpect's name for the base of its errors.
ExceptionPexpect = TerminalStreamError

T = TypeVar("T")
_local = threading.local()
_live: weakref.WeakSet[spawn] = weakref.WeakSet()


def _thread_loop() -> asyncio.AbstractEventLoop:
    loop = getattr(_local, "loop", None)
    if loop is None or loop.is_closed():
        loop = _local.loop = asyncio.new_event_loop()
    return loop


@atexit.register
def _end_sessions() -> None:
    # The brokers end their shells once their input ends; nothing waits here.
    for child in list(_live):
        child._terminal.abandon()


class spawn:  # noqa: N801 - pexpect's name
    """A command in a terminal, with pexpect's names and signatures.

    `command` is a command line (split as a shell would) when `args` is empty.
    `dimensions` is (rows, cols). Output is bytes unless `encoding` is given.
    The keyword-only arguments are the broker's (see ``terminal_stream.spawn``).
    """

    def __init__(self, command: str, args: Sequence[str] = (), timeout: float | None = 30,
                 maxread: int = 2000, searchwindowsize: int | None = None, logfile: IO[Any] | None = None,
                 cwd: str | None = None, env: Mapping[str, str] | None = None, ignore_sighup: bool = False,
                 echo: bool = True, preexec_fn: Any = None, encoding: str | None = None,
                 codec_errors: str = "replace", dimensions: tuple[int, int] | None = None,
                 use_poll: bool = False, *, launcher: Sequence[str] | None = None, launcher_shell: bool = False,
                 broker: str | None = None, flow_window: int = DEFAULT_FLOW_WINDOW,
                 max_buffer: int | None = DEFAULT_MAX_BUFFER, screen: bool = False) -> None:
        if preexec_fn is not None or not echo or ignore_sighup:
            raise TerminalStreamError("preexec_fn, echo=False and ignore_sighup act on the terminal's process "
                                      "here, which the broker starts: run the command through stty or "
                                      "trap instead")
        rows, cols = dimensions or (24, 80)
        self._loop = _thread_loop()
        self._terminal: Terminal[Any] = self._run(spawn_terminal(
            command, args=list(args) if args else None, cwd=cwd, env=env, cols=cols, rows=rows,
            launcher=launcher, launcher_shell=launcher_shell, broker=broker, flow_window=flow_window,
            encoding=encoding, codec_errors=codec_errors, timeout=timeout, max_buffer=max_buffer,
            screen=screen))
        self._terminal.logfile = logfile
        self.command = command
        self.args = list(args)
        self.searchwindowsize = searchwindowsize
        self.delaybeforesend: float | None = None  # kept for scripts that set it; nothing sleeps
        _live.add(self)

    def _run(self, awaitable: Awaitable[T]) -> T:
        if _loop_running():
            if asyncio.iscoroutine(awaitable) or isinstance(awaitable, Spawning):
                awaitable.close()
            raise TerminalStreamError("terminal_stream.sync waits by blocking: on an event loop use "
                                      "terminal_stream.spawn, whose calls are awaitable")
        if self._loop is not _thread_loop():
            raise TerminalStreamError("a terminal of terminal_stream.sync is used from the thread that made it")
        return self._loop.run_until_complete(awaitable)

    # pexpect's attributes, kept by the terminal.
    def __getattr__(self, name: str) -> Any:
        if name in {"before", "after", "match", "match_index", "pid", "broker_pid", "exitstatus",
                    "signalstatus", "reason", "closed", "buffer", "encoding", "diagnostics", "timeout",
                    "ignorecase", "logfile", "logfile_read", "logfile_send"}:
            return getattr(self._terminal, name)
        raise AttributeError(name)

    def __setattr__(self, name: str, value: Any) -> None:
        if name in {"timeout", "ignorecase", "logfile", "logfile_read", "logfile_send"}:
            setattr(self._terminal, name, value)
        else:
            object.__setattr__(self, name, value)

    def expect(self, pattern: Pattern | Sequence[Pattern], timeout: float | None = USE_DEFAULT,
               searchwindowsize: int | None = None, async_: bool = False) -> Any:
        """Waits for one of the patterns (regular expressions, EOF, TIMEOUT); returns its index.

        ``async_=True`` is refused: on an event loop, ``terminal_stream.spawn``
        gives the same terminal with awaitable calls.
        """
        _refuse_async(async_)
        return self._run(self._terminal.expect(pattern, timeout))

    def expect_exact(self, pattern: Any, timeout: float | None = USE_DEFAULT, searchwindowsize: int | None = None,
                     async_: bool = False) -> Any:
        """As expect(), with plain strings."""
        _refuse_async(async_)
        return self._run(self._terminal.expect_exact(pattern, timeout))

    def expect_list(self, pattern_list: Sequence[Pattern], timeout: float | None = USE_DEFAULT,
                    searchwindowsize: int | None = None) -> int:
        return self.expect(list(pattern_list), timeout)  # type: ignore[no-any-return]

    def send(self, s: str | bytes) -> int:
        """Types `s`; returns the number of bytes. It does not sleep first (no delaybeforesend)."""
        return self._terminal.send(s)

    def sendline(self, s: str | bytes = "") -> int:
        return self._terminal.sendline(s)

    def write(self, s: str | bytes) -> None:
        self._terminal.send(s)

    def writelines(self, sequence: Sequence[str | bytes]) -> None:
        for s in sequence:
            self._terminal.send(s)

    def sendcontrol(self, char: str) -> int:
        return self._terminal.sendcontrol(char)

    def sendintr(self) -> None:
        self._terminal.sendintr()

    def sendeof(self) -> None:
        self._terminal.sendeof()

    def read_nonblocking(self, size: int = 1, timeout: float | None = USE_DEFAULT) -> Any:
        """Up to `size` of the output, waiting up to `timeout` for some; raises TIMEOUT or EOF."""
        return self._run(self._terminal.read_nonblocking(size, timeout))

    def read(self, size: int = -1) -> Any:
        return self._run(self._terminal.read(size))

    def readline(self, size: int = -1) -> Any:
        return self._run(self._terminal.readline())

    def __iter__(self) -> Iterator[Any]:
        while line := self.readline():
            yield line

    def wait_quiet(self, seconds: float, timeout: float | None = USE_DEFAULT) -> None:
        self._run(self._terminal.wait_quiet(seconds, timeout))

    def screen(self) -> ScreenText:
        return self._terminal.screen()

    def setwinsize(self, rows: int, cols: int) -> None:
        self._terminal.resize(cols, rows)

    def getwinsize(self) -> tuple[int, int]:
        return self._terminal.rows, self._terminal.cols

    def kill(self, sig: int | str) -> None:
        """Sends a signal to the shell's process, through the broker."""
        self._terminal.signal(sig)
        self._run(self._terminal.drain())

    def isalive(self) -> bool:
        """Whether the shell's end has not been seen; takes in what the broker has already said."""
        self._run(_catch_up())
        return self._terminal.isalive()

    def wait(self) -> int | None:
        return self._run(self._terminal.wait())

    def terminate(self, force: bool = False) -> bool:
        return self._run(self._terminal.terminate(force))

    def close(self, force: bool = True) -> None:
        self._run(self._terminal.close(force))

    def flush(self) -> None:
        self._run(self._terminal.drain())

    def fileno(self) -> int:
        raise TerminalStreamError("the terminal's descriptor is in the broker: there is none here")

    def interact(self, escape_character: str | None = chr(29), input_filter: Any = None,
                 output_filter: Any = None) -> None:
        """Gives the terminal to the user: keystrokes go to it, its output to standard output.

        Returns when the user types `escape_character` (^] by default) or the
        session ends. Standard input is put in raw mode meanwhile.
        """
        self._run(_interact(self._terminal, sys.stdin.fileno(), sys.stdout.fileno(),
                            escape_character.encode() if escape_character else None, input_filter, output_filter))

    def __enter__(self) -> spawn:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        terminal = self.__dict__.get("_terminal")
        if terminal is not None:
            terminal.abandon()


def _loop_running() -> bool:
    try:
        asyncio.get_running_loop()
    except RuntimeError:
        return False
    return True


def _refuse_async(async_: bool) -> None:
    if async_:
        raise TerminalStreamError("async_=True: on an event loop use terminal_stream.spawn, whose calls are "
                                  "awaitable; this terminal runs on a loop of its own")


def spawnu(command: str, args: Sequence[str] = (), **options: Any) -> spawn:
    """pexpect's older name for a spawn with text output (UTF-8 unless `encoding` says otherwise)."""
    options.setdefault("encoding", "utf-8")
    return spawn(command, args, **options)


def run(command: str, timeout: float | None = 30, withexitstatus: bool = False, events: Any = None,
        extra_args: Any = None, logfile: IO[Any] | None = None, cwd: str | None = None,
        env: Mapping[str, str] | None = None, **options: Any) -> Any:
    """pexpect's run(): runs `command` in a terminal to its end and returns its output.

    `events` maps patterns to what to type when they appear: a string, or a
    callable given a dict of this call's state (``child``, ``event_count``,
    ``extra_args``) that returns a string to type or true to stop. With
    `withexitstatus`, returns (output, exit status).
    """
    child = spawn(command, timeout=timeout, logfile=logfile, cwd=cwd, env=env, **options)
    pairs = list(events.items()) if isinstance(events, dict) else list(events or [])
    patterns: list[Any] = [pattern for pattern, _ in pairs]
    output: list[Any] = []
    event_count = 0
    try:
        while True:
            index = child.expect([*patterns, EOF, TIMEOUT])
            output.append(child.before)
            if index >= len(patterns):
                break
            output.append(child.after)
            response = pairs[index][1]
            if callable(response):
                response = response({"child": child, "event_count": event_count, "extra_args": extra_args})
                if response is True:
                    break
            if isinstance(response, (str, bytes)):
                child.send(response)
            event_count += 1
    finally:
        child.close()
    result = "".join(output) if child.encoding else b"".join(output)
    return (result, child.exitstatus) if withexitstatus else result


async def _catch_up() -> None:
    # Two turns of the loop: the broker's lines ready in the pipe are read,
    # then handled.
    for _ in range(3):
        await asyncio.sleep(0)


async def _interact(terminal: Terminal[Any], input_fd: int, output_fd: int, escape: bytes | None,
                    input_filter: Any, output_filter: Any) -> None:
    import termios
    import tty
    loop = asyncio.get_running_loop()
    done = loop.create_future()

    def on_input() -> None:
        data = os.read(input_fd, 4096)
        if not data:  # the user's input has ended
            loop.remove_reader(input_fd)
            if not done.done():
                done.set_result(None)
            return
        if input_filter:
            data = input_filter(data)
        if escape and escape in data:
            data = data[:data.index(escape)]
            if not done.done():
                done.set_result(None)
        if data:
            terminal.send(data)

    saved = termios.tcgetattr(input_fd) if os.isatty(input_fd) else None
    if saved is not None:
        tty.setraw(input_fd)
    loop.add_reader(input_fd, on_input)
    try:
        while not done.done():
            reading = asyncio.ensure_future(terminal.read_nonblocking(-1, timeout=None))
            await asyncio.wait([reading, done], return_when=asyncio.FIRST_COMPLETED)
            if not reading.done():
                reading.cancel()
                break
            try:
                data = reading.result()
            except EOF:
                break
            raw = data.encode(terminal.encoding or "utf-8") if isinstance(data, str) else data
            _write_all(output_fd, output_filter(raw) if output_filter else raw)
    finally:
        loop.remove_reader(input_fd)
        if saved is not None:
            termios.tcsetattr(input_fd, termios.TCSAFLUSH, saved)


def _write_all(fd: int, data: bytes) -> None:
    view = memoryview(data)
    while view:
        view = view[os.write(fd, view):]
