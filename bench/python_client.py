#!/usr/bin/python3
"""The Python client beside pexpect and a bare asyncio loop on a PTY, side by side in one run.

1. Many sessions at once (pexpect's issue 790): N concurrent Python REPLs,
   each C cycles of `print("foo bar")` and its prompt; wall time and CPU
   for pexpect with async_=True, for the client (terminal_stream.spawn) and
   for a minimal asyncio loop on os.openpty (the limit: no broker, no JSON).
2. One session: the round trip of a prompt (send a line feed, expect the
   prompt), p50 and p99.
3. `seq 1 1000000` read to its end, discarding as it comes: MB/s (of
   terminal bytes) and the reading process's peak RSS, each in a process
   of its own; and expect() waiting for what never comes while `yes`
   floods the terminal: what went by, and the memory it added.

Usage: bench/python_client.py [--broker PATH] [--sessions 29] [--cycles 50] [--round-trips 300]
"""

from __future__ import annotations

import argparse
import asyncio
import json
import os
import resource
import statistics
import subprocess
import sys
import time
from pathlib import Path
from typing import Any, Awaitable, Callable

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "clients/python"))

import pexpect  # noqa: E402

import terminal_stream  # noqa: E402
import terminal_stream.sync  # noqa: E402

PYTHON = "/usr/bin/python3"
REPL = [PYTHON, "-q", "-i"]
PROMPT = b">>> "
REPL_ENV = {**os.environ, "PYTHONSTARTUP": "", "TERM": "dumb"}


# -- a bare asyncio loop on a PTY: the least any client must do ------------

class BarePty:
    """A program on os.openpty, its output read by the loop (add_reader), matched by bytes.find."""

    def __init__(self, argv: list[str]) -> None:
        self.master, slave = os.openpty()
        os.set_blocking(self.master, False)
        self.process = subprocess.Popen(argv, stdin=slave, stdout=slave, stderr=slave, start_new_session=True,
                                        env=REPL_ENV, close_fds=True)
        os.close(slave)
        self.buffer = b""
        self.ended = False
        self.waiter: asyncio.Future[None] | None = None
        self.loop = asyncio.get_running_loop()
        self.loop.add_reader(self.master, self._readable)

    def _readable(self) -> None:
        try:
            data = os.read(self.master, 65536)
        except OSError:
            data = b""
        if data:
            self.buffer += data
        else:
            self.ended = True
            self.loop.remove_reader(self.master)
        if self.waiter and not self.waiter.done():
            self.waiter.set_result(None)

    async def expect(self, pattern: bytes) -> None:
        while (at := self.buffer.find(pattern)) < 0:
            if self.ended:
                raise EOFError
            self.waiter = self.loop.create_future()
            await self.waiter
        self.buffer = self.buffer[at + len(pattern):]

    def sendline(self, line: str) -> None:
        os.write(self.master, line.encode() + b"\n")

    def close(self) -> None:
        if not self.ended:
            self.loop.remove_reader(self.master)
        os.close(self.master)
        self.process.kill()
        self.process.wait()


# -- 1. many sessions ---------------------------------------------------------

async def cycles_pexpect(cycles: int) -> None:
    child = pexpect.spawn(REPL[0], REPL[1:], env=REPL_ENV)
    await child.expect_exact(PROMPT, async_=True)
    for _ in range(cycles):
        child.sendline('print("foo bar")')
        await child.expect_exact(b"foo bar\r\n" + PROMPT, async_=True)
    child.close(force=True)


async def cycles_client(cycles: int) -> None:
    async with terminal_stream.spawn(REPL, env=REPL_ENV, encoding=None) as term:
        await term.expect_exact(PROMPT)
        for _ in range(cycles):
            term.sendline('print("foo bar")')
            await term.expect_exact(b"foo bar\r\n" + PROMPT)


async def cycles_bare(cycles: int) -> None:
    bare = BarePty(REPL)
    await bare.expect(PROMPT)
    for _ in range(cycles):
        bare.sendline('print("foo bar")')
        await bare.expect(b"foo bar\r\n" + PROMPT)
    bare.close()


def many_sessions(name: str, session: Callable[[int], Awaitable[None]], sessions: int, cycles: int) -> dict[str, Any]:
    async def run_all() -> None:
        await asyncio.gather(*(session(cycles) for _ in range(sessions)))

    cpu, children, start = time.process_time(), _children_cpu(), time.perf_counter()
    asyncio.run(run_all())
    return {"client": name, "wall_s": time.perf_counter() - start, "cpu_s": time.process_time() - cpu,
            "children_cpu_s": _children_cpu() - children}


def _children_cpu() -> float:
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


# -- 2. one session's round trip -----------------------------------------------

def time_prompts(child: Any, count: int) -> list[float]:
    """Enter at the prompt, until the next prompt, `count` times (pexpect's shape)."""
    child.expect_exact(PROMPT)
    times = []
    for _ in range(count):
        start = time.perf_counter()
        child.sendline("")
        child.expect_exact(PROMPT)
        times.append(time.perf_counter() - start)
    return times


def round_trips_pexpect(count: int, delay: float | None) -> list[float]:
    child = pexpect.spawn(REPL[0], REPL[1:], env=REPL_ENV)
    if delay is None:
        child.delaybeforesend = None
    times = time_prompts(child, count)
    child.close(force=True)
    return times


def round_trips_sync(count: int) -> list[float]:
    child = terminal_stream.sync.spawn(REPL[0], REPL[1:], env=REPL_ENV)
    times = time_prompts(child, count)
    child.close()
    return times


async def round_trips_async(count: int, bare: bool) -> list[float]:
    term: Any = BarePty(REPL) if bare else await terminal_stream.spawn(REPL, env=REPL_ENV, encoding=None)
    expect = term.expect if bare else term.expect_exact
    await expect(PROMPT)
    times = []
    for _ in range(count):
        start = time.perf_counter()
        term.sendline("")
        await expect(PROMPT)
        times.append(time.perf_counter() - start)
    if bare:
        term.close()
    else:
        await term.close()
    return times


def percentiles(name: str, times: list[float]) -> dict[str, Any]:
    ordered = sorted(times)
    return {"client": name, "round_trips": len(ordered), "p50_ms": 1000 * statistics.median(ordered),
            "p99_ms": 1000 * ordered[min(len(ordered) - 1, int(len(ordered) * 0.99))]}


# -- 3. seq to its end, in a process of its own ----------------------------------

SEQ = ["seq", "1", "1000000"]


async def drain_client() -> int:
    term = await terminal_stream.spawn(SEQ, encoding=None)
    return sum([len(chunk) async for chunk in term])


async def drain_bare() -> int:
    bare = BarePty(SEQ)
    total = 0
    while not bare.ended:
        bare.waiter = bare.loop.create_future()
        await bare.waiter
        total += len(bare.buffer)
        bare.buffer = b""
    bare.close()
    return total


def drain_pexpect() -> int:
    child = pexpect.spawn(SEQ[0], SEQ[1:], maxread=65536)
    total = 0
    try:
        while True:
            total += len(child.read_nonblocking(65536, timeout=30))
    except pexpect.EOF:
        return total


class ByteCounter:
    """A logfile that only counts what goes by."""

    count = 0

    def write(self, data: bytes) -> None:
        self.count += len(data)

    def flush(self) -> None:
        pass


FLOOD = ["yes", "a flood of text that nobody waits for"]
FLOOD_SECONDS = 3


async def flood_client(seen: ByteCounter) -> int:
    async with terminal_stream.spawn(FLOOD, encoding=None) as term:
        term.logfile_read = seen
        await term.expect([b"never printed", terminal_stream.TIMEOUT], timeout=FLOOD_SECONDS)
    return seen.count


def flood_pexpect(seen: ByteCounter) -> int:
    child = pexpect.spawn(FLOOD[0], FLOOD[1:], maxread=65536)
    child.logfile_read = seen
    child.expect([b"never printed", pexpect.TIMEOUT], timeout=FLOOD_SECONDS)
    child.close(force=True)
    return seen.count


def drain_once(name: str) -> None:
    # The imports set the floor; what the read adds shows above it.
    floor = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    start = time.perf_counter()
    total = {"client": lambda: asyncio.run(drain_client()), "bare": lambda: asyncio.run(drain_bare()),
             "pexpect": drain_pexpect, "flood client": lambda: asyncio.run(flood_client(ByteCounter())),
             "flood pexpect": lambda: flood_pexpect(ByteCounter())}[name]()
    elapsed = time.perf_counter() - start
    print(json.dumps({"client": name, "bytes": total, "mb_per_s": total / elapsed / 1e6,
                      "peak_rss_mib": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024,
                      "read_added_mib": (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - floor) / 1024}))


def throughput(name: str) -> dict[str, Any]:
    out = subprocess.run([sys.executable, __file__, "--drain", name], capture_output=True, text=True, check=True,
                         env=os.environ)
    return json.loads(out.stdout.splitlines()[-1])  # type: ignore[no-any-return]


# -- the run -----------------------------------------------------------------------

def table(title: str, rows: list[dict[str, Any]]) -> None:
    print(f"\n{title}")
    keys = list(rows[0])
    print("  ".join(f"{key:>14}" for key in keys))
    for row in rows:
        print("  ".join(f"{value:>14.3f}" if isinstance(value, float) else f"{value!s:>14}" for value in row.values()))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--broker", default=os.environ.get("TERMINAL_STREAM_BROKER",
                                                           str(ROOT / "build/release/terminal-stream-broker")))
    parser.add_argument("--sessions", type=int, default=29)
    parser.add_argument("--cycles", type=int, default=50)
    parser.add_argument("--round-trips", type=int, default=300)
    parser.add_argument("--drain", help=argparse.SUPPRESS)
    options = parser.parse_args()
    os.environ["TERMINAL_STREAM_BROKER"] = str(Path(options.broker).resolve())
    if options.drain:
        drain_once(options.drain)
        return
    print(f"python {sys.version.split()[0]}, pexpect {pexpect.__version__}, {os.cpu_count()} CPUs, "
          f"load {os.getloadavg()[0]:.1f}, broker {os.environ['TERMINAL_STREAM_BROKER']}")

    rows = [many_sessions("bare openpty", cycles_bare, options.sessions, options.cycles),
            many_sessions("client", cycles_client, options.sessions, options.cycles),
            many_sessions("pexpect async_", cycles_pexpect, options.sessions, options.cycles)]
    table(f"{options.sessions} concurrent Python REPLs x {options.cycles} cycles of print(\"foo bar\")", rows)
    bare, client, slow = (row["wall_s"] for row in rows)
    print(f"client: {slow / client:.1f}x faster than pexpect, {client / bare:.2f}x the bare loop's time")

    count = options.round_trips
    table(f"one session: a prompt's round trip ({count} times; pexpect with its sleep {min(count, 100)} times)", [
        percentiles("bare openpty", asyncio.run(round_trips_async(count, bare=True))),
        percentiles("client asyncio", asyncio.run(round_trips_async(count, bare=False))),
        percentiles("client sync", round_trips_sync(count)),
        percentiles("pexpect", round_trips_pexpect(min(count, 100), delay=0.05)),
        percentiles("pexpect nodelay", round_trips_pexpect(count, delay=None)),
    ])
    table("seq 1 1000000 read to its end, discarding (each in its own process)",
          [throughput(name) for name in ("bare", "client", "pexpect")])
    table(f"expect() waiting {FLOOD_SECONDS} s for what never comes, under a flood (`yes`)",
          [throughput(name) for name in ("flood client", "flood pexpect")])


if __name__ == "__main__":
    main()
