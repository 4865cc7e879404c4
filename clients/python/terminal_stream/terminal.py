"""One shell in a terminal, run by a terminal-stream-broker process, driven from asyncio."""

from __future__ import annotations

import asyncio
import base64
import codecs
import json
import logging
import re
import shlex
from collections import deque
from typing import IO, Any, AnyStr, Awaitable, Coroutine, Generator, Generic, Mapping, Sequence

from . import broker_command
from .errors import EOF, TIMEOUT, BrokerError
from .output_buffer import OutputBuffer
from .patterns import Found, Pattern, Searcher
from .protocol import InputGate, control_character, input_lines, notification
from .screen import ScreenText, TerminalScreen

logger = logging.getLogger("terminal_stream")

DEFAULT_FLOW_WINDOW = 262144
MAX_FLOW_WINDOW = 268435456
# Output held here for expect() and read(). Beyond it the broker is held back
# (no acknowledgement, or no reading without a window), and a wait that finds
# no match drops the oldest half, so memory stays flat under a flood.
DEFAULT_MAX_BUFFER = 2 * 1024 * 1024
# The longest event line is a data event of 65,536 bytes: 87,384 Base64
# characters and a few members.
LINE_LIMIT = 1024 * 1024
KEPT_DIAGNOSTICS = 20
DIAGNOSTIC_PREFIX = re.compile(r"^\[[^\]]*\] ")
DEFAULT_TIMEOUT = 30.0
# Means "the terminal's own timeout" in the waits, as in pexpect.
USE_DEFAULT: float = -1


class Terminal(Generic[AnyStr]):
    """A shell in a terminal. Create it with ``await terminal_stream.spawn(...)``.

    Output is text (``str``) when the terminal has an encoding, else ``bytes``.
    ``before``, ``after`` and ``match`` describe the last ``expect()`` as in
    pexpect. Use it as ``async with``: leaving the block closes the session.
    """

    def __init__(self, process: asyncio.subprocess.Process, *, encoding: str | None, codec_errors: str,
                 flow_window: int, max_buffer: int | None, timeout: float | None, cols: int, rows: int,
                 screen: TerminalScreen | None) -> None:
        self._loop = asyncio.get_running_loop()
        self._process = process
        self.encoding = encoding
        self._decoder = codecs.getincrementaldecoder(encoding)(codec_errors) if encoding else None
        self._empty: Any = "" if encoding else b""
        self._flow_window = flow_window
        self.timeout = timeout
        self.cols, self.rows = cols, rows
        self._screen = screen
        #: pexpect's names: what the last expect() skipped, matched, and its match.
        self.before: AnyStr | None = None
        self.after: Any = None
        self.match: Any = None
        self.match_index: int | None = None
        self.ignorecase = False
        self.logfile: IO[Any] | None = None
        self.logfile_read: IO[Any] | None = None
        self.logfile_send: IO[Any] | None = None
        #: The shell's pid, from the broker's ready event (with a launcher, on the far side).
        self.pid: int | None = None
        #: The broker's pid here (with a launcher: the launcher's).
        self.broker_pid: int = process.pid
        #: How the shell ended: exit status (None if a signal ended it), signal, the broker's reason.
        self.exitstatus: int | None = None
        self.signalstatus: int | None = None
        self.reason: str | None = None
        self.closed = False
        self.diagnostics: deque[str] = deque(maxlen=KEPT_DIAGNOSTICS)
        self._output = OutputBuffer(self._empty, max_buffer)
        self._waiters: list[asyncio.Future[None]] = []
        self._room: asyncio.Future[None] | None = None
        self._last_output = self._loop.time()
        self._flow_confirmed = False
        self._taken_seq = 0
        self._acked_seq = 0
        self._unacked_bytes = 0
        self._closed_event: dict[str, Any] | None = None
        self._failure: BrokerError | None = None
        self._ended = False
        self._gate = InputGate(self._write_line)
        self._ready: asyncio.Future[int] = self._loop.create_future()
        self._stderr_task = self._loop.create_task(self._read_diagnostics())
        self._reader = self._loop.create_task(self._read_events())

    async def _start(self) -> None:
        connect: dict[str, Any] = {"cols": self.cols, "rows": self.rows}
        if self._flow_window > 0:
            connect["flow_window"] = self._flow_window
        self._write_line(notification("terminal.connect", connect))
        started: set[asyncio.Future[Any]] = {self._ready, self._reader}
        await asyncio.wait(started, return_when=asyncio.FIRST_COMPLETED)
        if not self._ready.done():
            await self._reader
            raise self._failure or BrokerError("the broker ended before its ready event", None, "")

    # -- input ---------------------------------------------------------------

    def send(self, data: str | bytes) -> int:
        """Types `data` (a string as UTF-8, or the terminal's encoding) and returns its length in bytes.

        It never waits: input the broker has not confirmed is kept under
        1 MiB and the rest waits here; ``await drain()`` waits until it is gone.
        """
        raw = data.encode(self.encoding or "utf-8") if isinstance(data, str) else bytes(data)
        self._log(self.logfile_send, raw.decode(self.encoding, "replace") if self.encoding else raw)
        if raw and not self._ended and not self.closed:
            self._gate.push(input_lines(raw))
        return len(raw)

    def sendline(self, line: str | bytes = "") -> int:
        """Types `line` and a line feed."""
        if isinstance(line, bytes):
            return self.send(line + b"\n")
        return self.send(line + "\n")

    def sendcontrol(self, char: str) -> int:
        """Types Ctrl plus `char` (``sendcontrol('c')`` is ^C); returns 0 for a character without a control code."""
        code = control_character(char)
        return 0 if code is None else self.send(code)

    def sendintr(self) -> None:
        """Types ^C, which the terminal turns into SIGINT for its foreground program."""
        self.send(b"\x03")

    def sendeof(self) -> None:
        """Types ^D, the end of input for a program reading the terminal line by line."""
        self.send(b"\x04")

    async def drain(self) -> None:
        """Waits until everything sent has gone to the broker (back-pressure for large pastes)."""
        if self._gate.holding:
            gone: asyncio.Future[None] = self._loop.create_future()

            def empty() -> None:
                if not gone.done():
                    gone.set_result(None)
            self._gate.when_empty(empty)
            await gone
        try:
            await self._process.stdin.drain()  # type: ignore[union-attr]
        except ConnectionError:
            pass  # the broker has gone; the end says why

    def resize(self, cols: int, rows: int) -> None:
        """Sets the terminal's size; its program gets SIGWINCH."""
        self.cols = broker_command.fit_size("cols", cols)
        self.rows = broker_command.fit_size("rows", rows)
        if self._screen:
            self._screen.resize(self.cols, self.rows)
        self._write_line(notification("terminal.resize", {"cols": self.cols, "rows": self.rows}))

    def signal(self, name: str | int) -> None:
        """Sends a signal (``'SIGINT'``, ``'INT'`` or a number) to the shell's process, through the broker.

        It reaches the shell wherever a launcher put it, and never a process
        that took a finished shell's pid. Does nothing once the shell has ended.
        """
        if not self._ended and self._closed_event is None:
            self._write_line(notification("terminal.signal", {"signal": name}))

    def destroy(self) -> None:
        """Asks the broker to end the session: SIGTERM, a second later the hang-up, then SIGKILL."""
        if not self._ended and self._closed_event is None:
            self._write_line(notification("terminal.destroy", {}))

    def _write_line(self, line: bytes) -> None:
        stdin = self._process.stdin
        if stdin is not None and not stdin.is_closing():
            stdin.write(line)

    # -- output --------------------------------------------------------------

    async def expect(self, pattern: Pattern | Sequence[Pattern], timeout: float | None = USE_DEFAULT) -> int:
        """Waits until one of the patterns (regular expressions) matches the output; returns its index.

        ``EOF`` and ``TIMEOUT`` in the list match the end and the deadline;
        otherwise those raise. The earliest match in the output wins, and of
        matches that start at the same place, the first listed.
        """
        searcher = Searcher(pattern, exact=False, encoding=self.encoding, ignorecase=self.ignorecase)
        return await self._expect(searcher, timeout)

    async def expect_exact(self, pattern: str | bytes | type[EOF] | type[TIMEOUT] |
                           Sequence[str | bytes | type[EOF] | type[TIMEOUT]],
                           timeout: float | None = USE_DEFAULT) -> int:
        """As expect(), with plain strings instead of regular expressions."""
        return await self._expect(Searcher(pattern, exact=True, encoding=self.encoding), timeout)

    async def _expect(self, searcher: Searcher, timeout: float | None) -> int:
        deadline = self._deadline(timeout)
        while True:
            if searcher.has_patterns and len(self._output):
                found = searcher.search(self._output.text())
                if found:
                    return self._matched(found)
            if self._ended:
                return self._at_end(searcher.eof_index)
            self._trim()
            if not await self._changed(deadline):
                return self._timed_out(searcher.timeout_index)

    def _matched(self, found: Found) -> int:
        taken = self._take(found.end)
        self.before, self.after, self.match = taken[:found.start], taken[found.start:], found.match
        self.match_index = found.index
        return found.index

    def _at_end(self, eof_index: int | None) -> int:
        self.before = self._take(len(self._output))
        self.after = self.match = EOF
        self.match_index = eof_index
        if self._failure:
            raise self._failure
        if eof_index is None:
            raise EOF(f"End of file: the terminal's output has ended ({self._ending()})")
        return eof_index

    def _timed_out(self, timeout_index: int | None) -> int:
        self.before = self._output.text()
        self.after = self.match = TIMEOUT
        self.match_index = timeout_index
        if timeout_index is None:
            raise TIMEOUT("the deadline passed before a pattern matched")
        return timeout_index

    def _ending(self) -> str:
        return f"reason {self.reason}, exit status {self.exitstatus}, signal {self.signalstatus}"

    async def read_nonblocking(self, size: int = 1, timeout: float | None = USE_DEFAULT) -> AnyStr:
        """Returns up to `size` of the output (all of it for a negative size), waiting for some if there is none."""
        deadline = self._deadline(timeout)
        while not len(self._output):
            if self._ended:
                self._at_end(None)
            if not await self._changed(deadline):
                raise TIMEOUT("no output before the deadline")
        return self._take(len(self._output) if size < 0 else size)  # type: ignore[no-any-return]

    async def read(self, size: int = -1) -> AnyStr:
        """Reads `size` of output, or all of it up to the end when size is negative (less at the end)."""
        parts: list[Any] = []
        wanted = size
        while wanted != 0:
            if len(self._output) and (size < 0 or len(self._output) >= wanted or self._ended):
                parts.append(await self.read_nonblocking(wanted))
                wanted -= len(parts[-1]) if size >= 0 else 0
                continue
            if self._ended:
                break
            await self._changed(None)
        if self._failure and size < 0:
            self.before = self._empty.join(parts)
            raise self._failure
        return self._empty.join(parts)  # type: ignore[no-any-return]

    async def readline(self) -> AnyStr:
        """One line of output with its CR LF (the terminal's line end), or what is left at the end."""
        crlf: str | bytes = "\r\n" if self.encoding else b"\r\n"
        patterns: list[Pattern] = [crlf, EOF]
        index = await self._expect(Searcher(patterns, exact=True, encoding=self.encoding), None)
        return self.before + crlf if index == 0 else self.before  # type: ignore[operator, return-value]

    def __aiter__(self) -> Terminal[AnyStr]:
        return self

    async def __anext__(self) -> AnyStr:
        """The output as it comes, in the pieces it comes in, until the end."""
        try:
            return await self.read_nonblocking(-1, timeout=None)
        except BrokerError:
            raise
        except EOF:
            raise StopAsyncIteration from None

    async def wait_quiet(self, seconds: float, timeout: float | None = USE_DEFAULT) -> None:
        """Waits until the terminal has printed nothing for `seconds` (or has ended).

        Output is kept for expect(); a program held back because the buffer
        is full (max_buffer) counts as quiet.
        """
        deadline = self._deadline(timeout)
        while not self._ended:
            quiet_at = self._last_output + seconds
            if self._loop.time() >= quiet_at:
                return
            if deadline is not None and deadline < quiet_at and self._loop.time() >= deadline:
                raise TIMEOUT(f"the terminal was not quiet for {seconds} s before the deadline")
            await self._changed(quiet_at if deadline is None else min(quiet_at, deadline))

    def screen(self) -> ScreenText:
        """The terminal's screen as text rows, with the cursor (spawn with ``screen=True``)."""
        if self._screen is None:
            raise RuntimeError("this terminal keeps no screen: spawn it with screen=True")
        return self._screen.text()

    @property
    def buffer(self) -> AnyStr:
        """Output read and not yet consumed by expect() or read()."""
        return self._output.text()  # type: ignore[no-any-return]

    # -- the end -------------------------------------------------------------

    def isalive(self) -> bool:
        """Whether the shell may still be running (its end not yet seen)."""
        return not self._ended and self._closed_event is None

    async def wait(self) -> int | None:
        """Waits for the session's end; returns the shell's exit status (None if a signal ended it).

        Output goes on being read meanwhile (the oldest dropped beyond
        max_buffer), so a program that prints cannot hold the wait. Raises
        BrokerError when the broker ended without saying how the shell ended.
        """
        while not self._ended:
            self._trim()
            await self._changed(None)
        if self._failure:
            raise self._failure
        return self.exitstatus

    async def terminate(self, force: bool = False) -> bool:
        """Ends the shell and waits for it: SIGHUP and SIGCONT (SIGKILL with force), then the broker's ladder."""
        if not self._ended:
            for name in ("SIGKILL",) if force else ("SIGHUP", "SIGCONT"):
                self.signal(name)
            self.destroy()
            try:
                await self.wait()
            except BrokerError:
                pass
        return not self.isalive()

    async def close(self, force: bool = True) -> None:
        """Ends the session: hangs up the shell, asks the broker to end it, closes the broker's input and waits.

        The broker's ladder (SIGTERM, the hang-up a second later, SIGKILL 4 s
        after that) ends whatever ignores the hang-up, so `force` (pexpect's)
        changes nothing: the shell always ends.
        """
        if self.closed:
            return
        self.closed = True
        self.signal("SIGHUP")
        # Said before the end of input, which is the same request, because
        # some transports do not pass the end of input on.
        self.destroy()
        self._close_input()
        try:
            await self.wait()
        except BrokerError:
            pass

    def _close_input(self) -> None:
        stdin = self._process.stdin
        if stdin is not None and not stdin.is_closing():
            stdin.close()

    def abandon(self) -> None:
        """Ends the session without waiting (the broker ends the shell); for destructors and exit."""
        if not self.closed:
            self.closed = True
            self.signal("SIGHUP")
            self.destroy()
            self._close_input()

    async def __aenter__(self) -> Terminal[AnyStr]:
        return self

    async def __aexit__(self, *exc: object) -> None:
        await self.close()

    # -- the buffer and its waiters -----------------------------------------

    def _append(self, data: Any) -> None:
        if data:
            self._output.append(data)
            self._last_output = self._loop.time()
        self._wake()
        if data:
            self._log(self.logfile_read, data)

    def _take(self, end: int) -> Any:
        """Consumes the first `end` characters of the buffer."""
        taken = self._output.take(end)
        self._made_room()
        return taken

    def _trim(self) -> None:
        if self._output.trim():
            self._made_room()

    def _made_room(self) -> None:
        if self._output.full:
            return
        if self._room is not None and not self._room.done():
            self._room.set_result(None)
        self._maybe_ack()

    def _wake(self) -> None:
        waiters, self._waiters = self._waiters, []
        for waiter in waiters:
            if not waiter.done():
                waiter.set_result(None)

    async def _changed(self, deadline: float | None) -> bool:
        """Waits for output or the end until `deadline` (loop time); False when the deadline came first."""
        if deadline is not None and self._loop.time() >= deadline:
            return False
        waiter = self._loop.create_future()
        self._waiters.append(waiter)
        try:
            if deadline is None:
                await waiter
                return True
            async with asyncio.timeout_at(deadline):
                await waiter
            return True
        except TimeoutError:
            return False

    def _deadline(self, timeout: float | None) -> float | None:
        if timeout is not None and timeout == USE_DEFAULT:
            timeout = self.timeout
        return None if timeout is None else self._loop.time() + max(0.0, timeout)

    def _log(self, logfile: IO[Any] | None, data: Any) -> None:
        for target in (self.logfile, logfile):
            if target is not None:
                target.write(data)
                target.flush()

    # -- the broker's streams -----------------------------------------------

    async def _read_events(self) -> None:
        try:
            await self._relay_events()
        except asyncio.CancelledError:
            # The loop is shutting down with the session still on: the
            # broker ends the shell once its input ends.
            self.abandon()
            raise

    async def _relay_events(self) -> None:
        stdout = self._process.stdout
        assert stdout is not None
        while True:
            try:
                line = await stdout.readline()
            except ValueError:
                logger.warning("an event line from the broker is longer than %d bytes: skipped", LINE_LIMIT)
                continue
            if not line:
                break
            try:
                self._on_line(line)
            except Exception:  # noqa: BLE001 - the reading must go on, or every wait would hang
                logger.exception("handling an event line from the broker failed")
            # Without the broker's window the client holds it back itself:
            # a pipe that is not read fills, and the broker waits.
            while not self._flow_confirmed and self._output.full:
                self._room = self._loop.create_future()
                await self._room
        status = await self._process.wait()
        await self._stderr_task
        self._close_input()
        try:
            # Collects how the input pipe ended (a broken pipe, when the broker
            # went first), which asyncio would otherwise report as unretrieved.
            await self._process.stdin.wait_closed()  # type: ignore[union-attr]
        except ConnectionError:
            pass
        self._finish(status)

    async def _read_diagnostics(self) -> None:
        stderr = self._process.stderr
        assert stderr is not None
        while line := await stderr.readline():
            text = line.decode("utf-8", "replace").rstrip("\n")
            self.diagnostics.append(text)
            # Before the ready event they are the cause of spawn()'s error.
            if self._ready.done():
                logger.warning("terminal-stream-broker (pid %d): %s", self.broker_pid, text)

    def _on_line(self, line: bytes) -> None:
        try:
            event = json.loads(line)
            kind = event.get("type")
        except (ValueError, AttributeError):
            logger.warning("unreadable event line from the broker: %r", line[:200])
            return
        if kind == "data":
            self._on_data(event)
        elif kind == "pong":
            self._gate.confirm(event.get("nonce"))
        elif kind == "ready":
            self.pid = int(event.get("pid") or 0)
            if not self._ready.done():
                self._ready.set_result(self.pid)
        elif kind == "flow_control":
            self._flow_confirmed = (event.get("window") or 0) > 0
        elif kind == "closed":
            self._closed_event = event
        # Other events are those of later brokers.

    def _on_data(self, event: dict[str, Any]) -> None:
        raw = base64.b64decode(event.get("data_b64", ""))
        if self._screen:
            self._screen.feed(raw)
        self._append(self._decoder.decode(raw) if self._decoder else raw)
        self._taken_seq = max(self._taken_seq, int(event.get("seq", 0)))
        self._unacked_bytes += len(raw)
        self._maybe_ack()

    def _maybe_ack(self) -> None:
        """Acknowledges output once a quarter of the window is taken, unless the buffer is full.

        While the program takes its output the broker never waits (three
        quarters of the window are left), and a flood costs one
        acknowledgement per quarter window, not one per read.
        """
        if (not self._flow_confirmed or self._taken_seq <= self._acked_seq or self._output.full
                or self._unacked_bytes < self._flow_window // 4):
            return
        self._acked_seq = self._taken_seq
        self._unacked_bytes = 0
        self._write_line(notification("terminal.ack", {"seq": self._acked_seq}))

    def _finish(self, status: int) -> None:
        if self._decoder:
            self._append(self._decoder.decode(b"", final=True))
        closed = self._closed_event
        if closed is not None:
            self.reason = str(closed.get("reason"))
            self.exitstatus = closed.get("exit_code")
            if self.reason.startswith("signal:"):
                self.signalstatus = int(self.reason.split(":", 1)[1])
        else:
            self.reason = "broker-failed"
            self.exitstatus = status if status >= 0 else None
            self.signalstatus = -status if status < 0 else None
            self._failure = BrokerError("the broker ended without saying how the shell ended", status,
                                        "\n".join(DIAGNOSTIC_PREFIX.sub("", line) for line in self.diagnostics))
        self._ended = True
        self._close_input()
        self._gate = InputGate(lambda line: None)
        self._wake()
        self._made_room()


def _argv(command: str | Sequence[str] | None, args: Sequence[str] | None) -> list[str]:
    """pexpect's rule: a command without args is a command line, split as a shell would."""
    if command is None:
        return ["sh", *(args or [])]
    if not isinstance(command, str):
        return [*command, *(args or [])]
    if args is None:
        words = shlex.split(command)
        if not words:
            raise ValueError("the command is empty")
        return words
    return [command, *args]


class Spawning(Awaitable["Terminal[Any]"]):
    """What spawn() returns: await it for the terminal, or enter it with ``async with``."""

    def __init__(self, starting: Coroutine[Any, Any, Terminal[Any]]) -> None:
        self._starting = starting
        self._terminal: Terminal[Any] | None = None

    def __await__(self) -> Generator[Any, None, Terminal[Any]]:
        return self._starting.__await__()

    async def __aenter__(self) -> Terminal[Any]:
        self._terminal = await self._starting
        return self._terminal

    async def __aexit__(self, *exc: object) -> None:
        if self._terminal is not None:
            await self._terminal.close()

    def close(self) -> None:
        """Drops a spawn that will not be awaited."""
        self._starting.close()


def spawn(command: str | Sequence[str] | None = None, *, args: Sequence[str] | None = None,
          cwd: str | None = None, env: Mapping[str, str] | None = None, cols: int = 80, rows: int = 24,
          launcher: Sequence[str] | None = None, launcher_shell: bool = False, broker: str | None = None,
          flow_window: int = DEFAULT_FLOW_WINDOW, encoding: str | None = "utf-8",
          codec_errors: str = "replace", timeout: float | None = DEFAULT_TIMEOUT,
          max_buffer: int | None = DEFAULT_MAX_BUFFER, screen: bool = False,
          term: str | None = None) -> Spawning:
    """Starts `command` in a terminal run by terminal-stream-broker.

    Await the result for the terminal, once the shell runs; or use it as
    ``async with spawn(...) as term:``, which also closes the session at the end.

    `command` is a command line (split as a shell would) when `args` is not
    given, else the program; None starts ``sh``. The broker is the `broker`
    argument, else ``$TERMINAL_STREAM_BROKER``, else terminal-stream-broker on
    PATH; a missing one raises BrokerNotFound. `launcher` runs the broker
    elsewhere (``['ssh', '-T', 'host']`` with ``launcher_shell=True``,
    ``['docker', 'exec', '-i', 'ctr']``, ``['kubectl', 'exec', '-i', 'pod', '--']``).
    `env` is the shell's whole environment (TERM is set in it), default ours.
    Output is text in `encoding`, or bytes when it is None. Raises BrokerError
    when the broker ends before the shell runs (a missing program, a failed
    launcher), with its status and diagnostics.
    """
    return Spawning(_spawn(command, args=args, cwd=cwd, env=env, cols=cols, rows=rows, launcher=launcher,
                           launcher_shell=launcher_shell, broker=broker, flow_window=flow_window,
                           encoding=encoding, codec_errors=codec_errors, timeout=timeout,
                           max_buffer=max_buffer, screen=screen, term=term))


async def _spawn(command: str | Sequence[str] | None, *, args: Sequence[str] | None, cwd: str | None,
                 env: Mapping[str, str] | None, cols: int, rows: int, launcher: Sequence[str] | None,
                 launcher_shell: bool, broker: str | None, flow_window: int, encoding: str | None,
                 codec_errors: str, timeout: float | None, max_buffer: int | None, screen: bool,
                 term: str | None) -> Terminal[Any]:
    argv = _argv(command, args)
    cols, rows = broker_command.fit_size("cols", cols), broker_command.fit_size("rows", rows)
    if not 0 <= flow_window <= MAX_FLOW_WINDOW:
        raise ValueError(f"flow_window must be from 0 to {MAX_FLOW_WINDOW}, not {flow_window}")
    terminal_screen = TerminalScreen(cols, rows) if screen else None
    if launcher:
        how = broker_command.launcher_command(argv, launcher=launcher, launcher_shell=launcher_shell, cwd=cwd,
                                              term=term, cols=cols, rows=rows, broker=broker)
    else:
        how = broker_command.local_command(argv, env=env, cwd=cwd, term=term, cols=cols, rows=rows, broker=broker)
    # The broker in a session of its own, as pexpect's children are: a ^C at
    # the program's terminal must not end the terminals of a program that
    # handles it. When the program goes, the broker sees stdin close and ends
    # the session. A launcher (ssh) stays: it may ask for a password there.
    process = await asyncio.create_subprocess_exec(
        how.program, *how.args, stdin=asyncio.subprocess.PIPE, stdout=asyncio.subprocess.PIPE,
        stderr=asyncio.subprocess.PIPE, env=how.env, cwd=how.cwd, limit=LINE_LIMIT,
        start_new_session=not launcher)
    terminal: Terminal[Any] = Terminal(process, encoding=encoding, codec_errors=codec_errors,
                                       flow_window=flow_window, max_buffer=max_buffer, timeout=timeout,
                                       cols=cols, rows=rows, screen=terminal_screen)
    try:
        await terminal._start()
    except asyncio.CancelledError:
        # Nobody will hold this terminal: its broker ends the shell.
        terminal.abandon()
        raise
    return terminal
