"""The asyncio terminal against the real broker: what pexpect's cases do not cover."""

from __future__ import annotations

import asyncio
import base64
import contextlib
import json
import os
import resource
import signal
from pathlib import Path
from typing import Any

import pytest
from conftest import PYTHON, program

import terminal_stream
from terminal_stream import EOF, TIMEOUT, BrokerError
from terminal_stream.broker_command import launcher_command
from terminal_stream.patterns import Searcher
from terminal_stream.protocol import UNCONFIRMED_BYTES, InputGate, input_lines

SHELL_ENV = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "PS1": "$ ", "HOME": "/tmp"}


def run(case: Any) -> None:
    """Runs a case with a deadline, so that a hang fails instead of stalling the suite."""
    async def bounded() -> None:
        async with asyncio.timeout(60):
            await case()
    asyncio.run(bounded())


def test_echo_size_resize_and_exit_status() -> None:
    async def case() -> None:
        async with terminal_stream.spawn("sh", args=["-i"], env=SHELL_ENV, cols=90, rows=30) as term:
            assert term.pid and term.pid != term.broker_pid
            await term.expect_exact("$ ")
            # The size given at spawn is there as the program starts.
            term.sendline('stty size; echo "do""ne"')
            await term.expect(r"(\d+) (\d+)\r\n")
            assert term.match.groups() == ("30", "90")
            await term.expect_exact("done")
            term.resize(123, 41)
            term.sendline("stty size")
            await term.expect_exact("41 123")
            term.sendline("exit 7")
            assert await term.wait() == 7
            assert (term.exitstatus, term.signalstatus, term.reason) == (7, None, "exited")
            assert not term.isalive()
    run(case)


def test_signal_and_close_end_the_shell() -> None:
    async def case() -> None:
        term = await terminal_stream.spawn("sleep 300")
        term.signal("SIGINT")
        assert await term.wait() is None
        assert (term.signalstatus, term.reason) == (2, "signal:2")
        # An interactive shell ignores SIGTERM; close() ends it all the same.
        term = await terminal_stream.spawn("sh -i", env=SHELL_ENV)
        await term.expect_exact("$ ")
        await term.close()
        assert not term.isalive() and term.reason == "signal:1"
    run(case)


@pytest.mark.parametrize("flow_window", [262144, 0], ids=["broker-window", "paused-reading"])
def test_memory_stays_flat_under_a_flood_while_expect_waits(flow_window: int) -> None:
    class Counter:
        bytes = 0

        def write(self, data: bytes) -> None:
            Counter.bytes += len(data)

        def flush(self) -> None:
            pass

    async def case() -> None:
        max_buffer = 256 * 1024
        async with terminal_stream.spawn("yes 'a flood of text that nobody waits for'", encoding=None,
                                               flow_window=flow_window, max_buffer=max_buffer) as term:
            term.logfile_read = Counter()
            before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
            # Nothing waits: the broker is held back, not read into memory.
            await asyncio.sleep(0.5)
            held = Counter.bytes
            assert held <= max_buffer + 2 * max(flow_window, 65536) + 65536
            assert await term.expect([b"never printed", TIMEOUT], timeout=3) == 1
            grown_kib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before
            # More went by than the buffer holds, and the buffer kept its bound
            # (which the last read before the deadline may pass by one event).
            assert Counter.bytes > 4 * max_buffer, "the flood went on while expect waited"
            assert len(term.buffer) <= max_buffer + 65536
            assert grown_kib < 32 * 1024, f"{grown_kib} KiB more for {Counter.bytes} bytes of output"
    run(case)


def test_a_paste_larger_than_the_broker_holds_goes_through() -> None:
    size = 6 * 1024 * 1024

    async def case() -> None:
        async with terminal_stream.spawn("sh", args=["-c", f"stty raw; head -c {size} | wc -c"],
                                               encoding=None) as term:
            term.send(b"x" * size)
            # The echo comes back as the paste goes in; waiting for the count
            # reads it, and with it the acknowledgements go out.
            await term.drain()
            await term.expect(rb"%d\n" % size, timeout=30)
    run(case)


def test_failures_carry_status_and_diagnostics() -> None:
    async def case() -> None:
        with pytest.raises(BrokerError, match="failed to spawn PTY child") as missing:
            await terminal_stream.spawn("no-such-program-zxq")
        assert missing.value.status == 1
        with pytest.raises(BrokerError, match="lost the link") as launcher:
            await terminal_stream.spawn("sh", launcher=["sh", "-c", "echo lost the link >&2; exit 5", "sh"])
        assert launcher.value.status == 5 and "lost the link" in launcher.value.stderr
        with pytest.raises(terminal_stream.BrokerNotFound, match="TERMINAL_STREAM_BROKER"):
            await terminal_stream.spawn("sh", broker="/nonexistent/terminal-stream-broker")
    run(case)


def test_a_ctrl_c_at_the_programs_own_terminal_leaves_its_terminals_alone() -> None:
    # The program handles SIGINT, as a REPL does, then uses its terminal; a
    # broker that the ^C reached would have ended the shell during the sleep.
    source = """if True:
        import asyncio, signal, sys, terminal_stream
        async def main():
            async with terminal_stream.spawn("sh", env={"PATH": "/usr/bin:/bin", "PS1": "$ "}) as term:
                interrupted = asyncio.Event()
                asyncio.get_running_loop().add_signal_handler(signal.SIGINT, interrupted.set)
                print("ready", flush=True)
                await interrupted.wait()
                term.sendline('sleep 1; echo al""ive')
                await term.expect_exact("alive\\r\\n", timeout=30)
                print("alive", flush=True)
        asyncio.run(main())
    """
    client_dir = str(Path(terminal_stream.__file__).resolve().parents[1])

    async def case() -> None:
        # A process group of its own, as a shell gives the command it runs.
        child = await asyncio.create_subprocess_exec(
            PYTHON, "-c", source, stdout=asyncio.subprocess.PIPE, start_new_session=True,
            env={**os.environ, "PYTHONPATH": client_dir})
        try:
            assert child.stdout and await child.stdout.readline() == b"ready\n"
            os.killpg(child.pid, signal.SIGINT)
            assert await child.stdout.read() == b"alive\n"
        finally:
            # It may have ended without being reaped yet.
            if child.returncode is None:
                with contextlib.suppress(ProcessLookupError):
                    os.killpg(child.pid, signal.SIGKILL)
            await child.wait()
    run(case)


def test_a_transport_that_dies_mid_session_is_an_error_not_a_hang() -> None:
    # A relay between the client and the broker, as a transport is: when it
    # dies, the client's pipes end while the broker may live on.
    relay = ("import subprocess, sys, threading; "
             "broker = subprocess.Popen(sys.argv[1:], stdin=subprocess.PIPE, stdout=subprocess.PIPE); "
             "threading.Thread(target=lambda: [(sys.stdout.buffer.write(l), sys.stdout.flush()) "
             "for l in broker.stdout], daemon=True).start(); "
             "[(broker.stdin.write(l), broker.stdin.flush()) for l in sys.stdin.buffer]")

    async def case() -> None:
        term = await terminal_stream.spawn("sh -i", launcher=[PYTHON, "-c", relay],
                                           broker=os.environ["TERMINAL_STREAM_BROKER"])
        term.sendline("echo alive")
        await term.expect_exact("alive\r\n")
        os.kill(term.broker_pid, 9)
        with pytest.raises(BrokerError, match="signal 9"):
            await term.expect("never printed", timeout=None)
        assert term.reason == "broker-failed" and term.signalstatus == 9
    run(case)


def test_screen_and_wait_quiet() -> None:
    async def case() -> None:
        command = ["sh", "-c", r"printf '\033[2J\033[5;10Hhello'; sleep 0.3; printf '\033[1;1Hdone'; sleep 30"]
        async with terminal_stream.spawn(command, cols=40, rows=10, screen=True) as term:
            await term.expect_exact("done")
            # The program prints nothing more: quiet comes, and the screen holds both writes.
            await term.wait_quiet(0.3)
            screen = term.screen()
            assert len(screen.rows) == 10 and len(screen.rows[0]) == 40
            assert screen.rows[4][9:14] == "hello" and screen.rows[0].startswith("done")
            assert screen.cursor == (0, 4)
        ticker = "sh -c 'while :; do echo tick; sleep 0.05; done'"
        async with terminal_stream.spawn(ticker) as term:
            with pytest.raises(TIMEOUT):
                await term.wait_quiet(0.5, timeout=1.5)
            with pytest.raises(RuntimeError, match="screen=True"):
                term.screen()
    run(case)


def test_async_for_and_eof() -> None:
    async def case() -> None:
        term = await terminal_stream.spawn("seq 1 20000")
        text = "".join([chunk async for chunk in term])
        assert text.split() == [str(n) for n in range(1, 20001)]
        with pytest.raises(EOF):
            await term.expect("x")
        assert term.exitstatus == 0
    run(case)


def test_many_sessions_on_one_loop() -> None:
    async def session(index: int) -> str:
        async with terminal_stream.spawn(f"{PYTHON} -i -q", env={**os.environ, "PYTHONSTARTUP": ""}) as t:
            await t.expect_exact(">>> ")
            for _ in range(10):
                t.sendline(f"print('session', {index} * 2)")
                await t.expect_exact(f"session {index * 2}\r\n>>> ")
            return str(t.before)

    async def case() -> None:
        assert len(await asyncio.gather(*(session(i) for i in range(12)))) == 12
    run(case)


@pytest.mark.parametrize("patterns, buffer, index, start", [
    (["b", "a"], "xab", 1, 1),        # the earliest match wins over the first listed
    (["ab", "a"], "xab", 0, 1),       # same start: the first listed wins
    ([EOF, "c"], "abc", 1, 2),        # EOF and TIMEOUT keep their places in the list
    (["(?i)HELLO"], "say hello", 0, 4),
    (["a.b"], "a\nb", 0, 0),          # . matches a line end, as in pexpect
])
def test_searcher_order(patterns: list[Any], buffer: str, index: int, start: int) -> None:
    found = Searcher(patterns, exact=False, encoding="utf-8").search(buffer)
    assert found is not None and (found.index, found.start) == (index, start)


def test_launcher_command_carries_settings_as_assignments() -> None:
    command = launcher_command(["bash", "-l"], launcher=["ssh", "-T", "host"], launcher_shell=True, cwd="/srv x",
                               term=None, cols=100, rows=30, broker=None)
    assert command.program.endswith("/ssh")
    assert command.args == ["-T", "host", "env", "TERM=xterm", "'TERMINAL_STREAM_CWD=/srv x'",
                            "TERMINAL_STREAM_COLS=100", "TERMINAL_STREAM_ROWS=30", "terminal-stream-broker", "--",
                            "env", "-u", "TERMINAL_STREAM_CWD", "-u", "TERMINAL_STREAM_COLS", "-u",
                            "TERMINAL_STREAM_ROWS", "--", "bash", "-l"]


def test_interact_relays_keys_and_output_until_the_escape() -> None:
    # interact() needs a terminal of its own: pexpect gives the script one.
    import pexpect

    script = ("import sys, terminal_stream.sync as ts; "
              "child = ts.spawn('cat'); child.interact(); "
              "print('back, alive:', child.isalive()); child.close()")
    outer = pexpect.spawn(PYTHON, ["-c", script], env={**os.environ, "PYTHONPATH": str(Path(__file__).parents[1])},
                          timeout=20)
    outer.delaybeforesend = None
    # Raw mode turns the outer terminal's echo off: interact() has begun.
    assert outer.waitnoecho()
    outer.send("hello\r")
    # Typed into cat's terminal through the raw outer one: its echo, then cat's line.
    outer.expect_exact("hello\r\nhello\r\n")
    outer.sendcontrol("]")
    outer.expect_exact("back, alive: True")
    outer.expect(pexpect.EOF)
    outer.close()
    assert outer.exitstatus == 0


def test_input_gate_holds_unconfirmed_input_under_its_bound() -> None:
    written: list[bytes] = []
    gate = InputGate(written.append)
    emptied: list[bool] = []
    paste = bytes(range(256)) * (12 * 1024)  # 3 MiB
    gate.push(input_lines(paste))
    gate.when_empty(lambda: emptied.append(True))

    def sent() -> list[dict[str, Any]]:
        return [json.loads(line) for chunk in written for line in chunk.splitlines()]

    inputs = [line for line in sent() if line["method"] == "terminal.input"]
    assert 0 < sum(len(line["params"]["data_b64"]) for line in inputs) <= UNCONFIRMED_BYTES
    assert gate.holding and not emptied
    # Each pong releases what it confirms, until nothing is held.
    while gate.holding:
        pings = [line["params"]["nonce"] for line in sent() if line["method"] == "terminal.ping"]
        gate.confirm(pings[-1])
    typed = b"".join(base64.b64decode(line["params"]["data_b64"]) for line in sent()
                     if line["method"] == "terminal.input")
    assert typed == paste and emptied == [True]
