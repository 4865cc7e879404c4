#!/usr/bin/env python3
"""Soak and fault run: drives the real broker over its standard streams, as a
peer would, under load, faults and bad input, and prints what it held.

It is not a timed test: it prints figures, and fails (status 1) only when
something was lost, corrupted, left behind, or reported by a sanitizer.

  bench/soak.py --broker PATH [--sanitized PATH] [--short] [--seed N]

--broker is the build the load and fault runs use (the release build);
--sanitized is the AddressSanitizer + UndefinedBehaviorSanitizer build that
gets the mutated input lines (default: --broker). --short is the mode the
test command runs; without it the run takes several minutes.
"""

import argparse
import base64
import binascii
import collections
import json
import math
import os
import random
import re
import select
import signal
import subprocess
import sys
import tempfile
import threading
import time

DEADLINE = 60.0  # seconds for any single wait; generous for sanitizer builds
SANITIZER_MARKS = (b"ERROR: AddressSanitizer", b"runtime error:", b"ERROR: LeakSanitizer",
                   b"SUMMARY: UndefinedBehaviorSanitizer")
DATA_PREFIX = b'{"data_b64":"'
BLOCK = 1 << 20

# --- the programs run as the shell ------------------------------------------

# Writes MiB blocks of a seeded pseudo-random stream in raw mode (so every
# byte reaches the terminal's master unchanged), then exits 0; with 0 blocks
# it writes until it reads "q". It ignores SIGTERM and SIGINT, so that only
# "q" ends an endless run.
PRODUCER = r'''
import os, random, select, signal, sys, tty
signal.signal(signal.SIGTERM, signal.SIG_IGN)
signal.signal(signal.SIGINT, signal.SIG_IGN)
tty.setraw(0)
blocks = int(sys.argv[1])
k = 0
while blocks == 0 or k < blocks:
    view = memoryview(random.Random(k).randbytes(1 << 20))
    while view:
        view = view[os.write(1, view):]
    k += 1
    if blocks == 0 and select.select([0], [], [], 0)[0] and b"q" in os.read(0, 4096):
        sys.exit(3)
'''

# Raw mode, "R" once it is on, then reads and drops its input until the
# token arrives; signals that the broker forwards are ignored.
SINK = r'''
import os, signal, sys, tty
for s in (signal.SIGTERM, signal.SIGINT):
    signal.signal(s, signal.SIG_IGN)
tty.setraw(0)
os.write(1, b"R")
token, tail = sys.argv[1].encode(), b""
while True:
    chunk = os.read(0, 65536)
    if not chunk:
        sys.exit(2)
    tail = (tail + chunk)[-4 * len(token):]
    if token in tail:
        sys.exit(0)
'''

END_TOKEN = "soak-end-5d1e0c7a93"

# Lists its descriptors (ls keeps one of its own open on the listing).
FD_LISTER = ["sh", "-c", "ls -l /proc/self/fd; echo LISTED; exec sleep 1000"]


def python_shell(program, *args):
    return [sys.executable, "-c", program, *args]


class Failure(Exception):
    pass


# --- one broker and the peer's side of its streams ---------------------------

class Broker:
    def __init__(self, path, shell, stdout=subprocess.PIPE, stderr_pipe=False):
        env = {k: v for k, v in os.environ.items() if not k.startswith("TERMINAL_STREAM_")}
        env["TERMINAL_STREAM_SHELL_CMD_JSON"] = json.dumps(shell)
        self.errors = subprocess.PIPE if stderr_pipe else tempfile.TemporaryFile()
        self.proc = subprocess.Popen([path], stdin=subprocess.PIPE, stdout=stdout,
                                     stderr=self.errors, bufsize=0, env=env)
        self.out = self.proc.stdout.fileno() if self.proc.stdout else None
        self.lines = collections.deque()
        self.partial = b""
        self.eof = False
        self.seq = 0
        self.closed_events = 0
        self.stderr_read = b""

    # stdout, one event line at a time
    def line(self, timeout=DEADLINE):
        deadline = time.monotonic() + timeout
        while not self.lines:
            if self.eof:
                return None
            left = deadline - time.monotonic()
            if left <= 0:
                raise Failure("no event line within %.0f s" % timeout)
            # Standard error is read meanwhile, so that a long diagnostic
            # cannot block the broker on a full pipe.
            readable = select.select([self.out] + self.err_fds(), [], [], left)[0]
            if self.err_fds() and self.err_fds()[0] in readable:
                self.read_stderr()
            if self.out not in readable:
                continue
            chunk = os.read(self.out, 1 << 20)
            if not chunk:
                self.eof = True
                if self.partial:
                    raise Failure("stdout ended inside a line: %r" % self.partial[:80])
                continue
            parts = (self.partial + chunk).split(b"\n")
            self.partial = parts.pop()
            self.lines.extend(parts)
        return self.lines.popleft()

    def event(self, timeout=DEADLINE):
        """(type, value): terminal bytes for data events, the parsed object
        otherwise; None at the end of stdout. Checks seq on the way."""
        line = self.line(timeout)
        if line is None:
            return None
        if line.startswith(DATA_PREFIX):
            end = line.index(b'"', len(DATA_PREFIX))
            seq = int(line[end + 8:line.index(b",", end + 8)])
            self.check_seq(seq)
            return "data", binascii.a2b_base64(line[len(DATA_PREFIX):end])
        event = json.loads(line)
        if event["type"] == "closed":
            self.check_seq(event["seq"])
            self.closed_events += 1
        return event["type"], event

    def check_seq(self, seq):
        if seq != self.seq + 1:
            raise Failure("seq %d follows %d" % (seq, self.seq))
        self.seq = seq

    def expect(self, wanted):
        while True:
            event = self.event()
            if event is None:
                raise Failure("stdout ended while waiting for a %s event" % wanted)
            if event[0] == wanted:
                return event[1]

    def output_until(self, text):
        seen = b""
        while text not in seen:
            kind, value = self.expect_any()
            if kind == "data":
                seen += value
        return seen

    def expect_any(self):
        event = self.event()
        if event is None:
            raise Failure("stdout ended early")
        return event

    # stdin
    def send(self, payload):
        view = memoryview(payload)
        while view:
            view = view[os.write(self.proc.stdin.fileno(), view):]

    def send_json(self, method, params):
        self.send(json.dumps({"jsonrpc": "2.0", "method": method, "params": params},
                             separators=(",", ":")).encode() + b"\n")

    def send_input(self, data):
        self.send_json("terminal.input", {"data_b64": base64.b64encode(data).decode()})

    # the end
    def wait(self, timeout=DEADLINE):
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            raise Failure("the broker did not end within %.0f s" % timeout) from None

    def err_fds(self):
        return [self.proc.stderr.fileno()] if self.errors is subprocess.PIPE else []

    def read_stderr(self):
        if self.errors is subprocess.PIPE:
            fd = self.proc.stderr.fileno()
            while select.select([fd], [], [], 0)[0]:
                chunk = os.read(fd, 1 << 20)
                if not chunk:
                    break
                self.stderr_read += chunk
            return self.stderr_read
        self.errors.seek(0)
        return self.errors.read()

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        for stream in (self.proc.stdin, self.proc.stdout, self.proc.stderr):
            if stream:
                stream.close()


def process_left(pid, name):
    """True when process `pid` is still there (a zombie included) and runs
    `name`: the shell of a broker that has ended must be gone."""
    try:
        with open("/proc/%d/stat" % pid) as stat:
            return ("(%s)" % name) in stat.read()
    except OSError:
        return False


def wait_gone(pid, name, timeout=10.0):
    deadline = time.monotonic() + timeout
    while process_left(pid, name):
        if time.monotonic() > deadline:
            return False
        time.sleep(0.05)
    return True


class Stream:
    """The producer's stream, regenerated on the peer's side to compare."""

    def __init__(self):
        self.block, self.at, self.k, self.total = b"", 0, 0, 0

    def check(self, data):
        view = memoryview(data)
        while view:
            if self.at == len(self.block):
                self.block, self.at = random.Random(self.k).randbytes(BLOCK), 0
                self.k += 1
            n = min(len(view), len(self.block) - self.at)
            if view[:n] != self.block[self.at:self.at + n]:
                raise Failure("output differs from what the shell wrote near byte %d" % self.total)
            self.at += n
            self.total += n
            view = view[n:]


# --- scenarios ----------------------------------------------------------------

def relay(args, mib, stall=0.0):
    """mib MiB of output relayed and compared byte for byte; with a stall
    the peer stops reading for that long after the first MiB, and pings sent
    meanwhile must all be answered afterwards."""
    broker = Broker(args.broker, python_shell(PRODUCER, str(mib)))
    try:
        broker.expect("ready")
        stream = Stream()
        pongs, pings_sent, started = 0, 0, time.monotonic()
        stall_done = stall == 0
        while True:
            event = broker.event(timeout=DEADLINE + stall)
            if event is None:
                break
            kind, value = event
            if kind == "data":
                stream.check(value)
                if not stall_done and stream.total >= BLOCK:
                    for nonce in range(5):
                        broker.send_json("terminal.ping", {"nonce": nonce})
                    pings_sent = 5
                    time.sleep(stall)
                    stall_done = True
            elif kind == "pong":
                pongs += 1
            elif kind == "closed" and value["exit_code"] != 0:
                raise Failure("closed with %r" % value)
        elapsed = time.monotonic() - started
        status = broker.wait()
        if stream.total != mib * BLOCK or broker.closed_events != 1 or status != 0:
            raise Failure("%d of %d bytes, %d closed lines, status %s"
                          % (stream.total, mib * BLOCK, broker.closed_events, status))
        if pongs != pings_sent:
            raise Failure("%d of %d pings answered" % (pongs, pings_sent))
        return {"bytes": stream.total, "seconds": elapsed, "events": broker.seq}
    finally:
        broker.kill()


def listed_leaks(text):
    """Descriptors the shell holds beyond 0, 1, 2 on its terminal (and the
    one ls keeps on the listing itself)."""
    leaks = []
    for fd, target in re.findall(r" (\d+) -> (\S+)", text):
        if int(fd) <= 2 and target.startswith("/dev/pts/"):
            continue
        if target.startswith("/proc/") and target.endswith("/fd"):
            continue
        leaks.append("%s -> %s" % (fd, target))
    return leaks


def start_listing(args):
    broker = Broker(args.broker, FD_LISTER)
    ready = broker.expect("ready")
    listing = broker.output_until(b"LISTED").decode(errors="replace")
    return broker, ready["pid"], listing


def end_listing(broker, shell_pid, failures):
    broker.proc.stdin.close()  # the end of input: SIGTERM to the shell
    while broker.event() is not None:
        pass
    status = broker.wait()
    if status != 0 or broker.closed_events != 1:
        failures.append("status %s, %d closed lines" % (status, broker.closed_events))
    if not wait_gone(shell_pid, "sleep"):
        failures.append("shell %d still there after its broker ended" % shell_pid)
    broker.kill()


def many(args, in_row, at_once):
    failures, leaks = [], []
    started = time.monotonic()
    for _ in range(in_row):
        broker, pid, listing = start_listing(args)
        leaks += listed_leaks(listing)
        end_listing(broker, pid, failures)
    row_seconds = time.monotonic() - started
    group = [start_listing(args) for _ in range(at_once)]
    for broker, pid, listing in group:
        leaks += listed_leaks(listing)
    for broker, pid, _ in group:
        end_listing(broker, pid, failures)
    if leaks or failures:
        raise Failure("; ".join((failures + ["descriptor in a shell: " + l for l in leaks])[:5]))
    return {"in_row": in_row, "at_once": at_once, "row_seconds": row_seconds}


def signal_burst(args, count):
    """count SIGINT and SIGTERM (alternating) while output flows; the shell
    ignores them, so it ends either when it is told to ("q", status 3) or by
    the hang-up the broker gives a second after the first request."""
    broker = Broker(args.broker, python_shell(PRODUCER, "0"))
    try:
        broker.expect("ready")
        broker.expect("data")
        pid = broker.proc.pid

        def burst():
            for i in range(count):
                os.kill(pid, signal.SIGINT if i % 2 else signal.SIGTERM)

        sender = threading.Thread(target=burst)
        sender.start()
        data = 0
        while sender.is_alive() or data < 4 * BLOCK:
            kind, value = broker.expect_any()
            if kind == "data":
                data += len(value)
        sender.join()
        broker.send_input(b"q")
        closed = None
        while (event := broker.event()) is not None:
            if event[0] == "closed":
                closed = event[1]
        status = broker.wait()
        told = closed is not None and closed["exit_code"] == 3 and status == 3
        ended = closed is not None and closed["reason"] in ("signal:1", "signal:9") and status == 0
        if broker.closed_events != 1 or not (told or ended):
            raise Failure("%d closed lines, last %r, status %s" % (broker.closed_events, closed, status))
        return {"signals": count, "diagnostics": broker.read_stderr().count(b"\n")}
    finally:
        broker.kill()


def stdout_closed(args):
    """The peer closes its end of stdout while output flows."""
    broker = Broker(args.broker, python_shell(PRODUCER, "0"))
    try:
        shell_pid = broker.expect("ready")["pid"]
        broker.expect("data")
        broker.proc.stdout.close()
        status = broker.wait()
        diagnostics = broker.read_stderr().decode(errors="replace").splitlines()
        if status != 1 or len(diagnostics) != 1:
            raise Failure("status %s, diagnostics %r" % (status, diagnostics[:3]))
        shell_gone = wait_gone(shell_pid, "python3")
        return {"status": status, "diagnostic": diagnostics[0], "shell_gone": shell_gone}
    finally:
        broker.kill()


def stdout_full(args):
    with open("/dev/full", "wb") as full:
        broker = Broker(args.broker, ["sleep", "1000"], stdout=full)
    try:
        status = broker.wait()
        diagnostics = broker.read_stderr().decode(errors="replace").splitlines()
        if status != 1 or len(diagnostics) != 1:
            raise Failure("status %s, diagnostics %r" % (status, diagnostics[:3]))
        return {"status": status, "diagnostic": diagnostics[0]}
    finally:
        broker.kill()


def endless_line(args, mib):
    """mib MiB of one line without LF, then a ping: the line costs one
    diagnostic, the ping is answered, and the broker's memory stays small."""
    broker = Broker(args.broker, ["sleep", "1000"], stderr_pipe=True)
    try:
        broker.expect("ready")
        chunk = b"x" * BLOCK
        for _ in range(mib):
            broker.send(chunk)
            broker.read_stderr()
        broker.send(b'\n{"jsonrpc":"2.0","method":"terminal.ping","params":{"nonce":"after"}}\n')
        pong = broker.expect("pong")
        with open("/proc/%d/status" % broker.proc.pid) as status:
            peak_kib = int(re.search(r"VmHWM:\s+(\d+)", status.read()).group(1))
        diagnostics = broker.read_stderr().decode(errors="replace").splitlines()
        if pong["nonce"] != "after" or len(diagnostics) != 1 or "16777216" not in diagnostics[0]:
            raise Failure("pong %r, diagnostics %r" % (pong, [d[:120] for d in diagnostics[:3]]))
        return {"line_mib": mib, "peak_rss_mib": peak_kib / 1024}
    finally:
        broker.kill()


# --- mutated input lines --------------------------------------------------------

METHODS = ("terminal.connect", "terminal.input", "terminal.resize", "terminal.ping",
           "terminal.destroy", "terminal.ack")
MAX_FLOW_WINDOW = 256 * 1024 * 1024
WHITE_SPACE = set(map(chr, [*range(0x09, 0x0E), 0x20, 0x85, 0xA0, 0x1680, *range(0x2000, 0x200B),
                            0x2028, 0x2029, 0x202F, 0x205F, 0x3000]))
BASE64 = re.compile(r"[A-Za-z0-9+/]*={0,2}")
MAX_DEPTH = 127


class Bad(ValueError):
    pass


class Obj(dict):
    """A JSON object that remembers which keys it was given twice."""


def object_pairs(items):
    obj, obj.twice = Obj(), set()
    for key, value in items:
        if key in obj:
            obj.twice.add(key)
        obj[key] = value
    return obj


class SignedInt(int):
    """An integer written with a minus sign: the JSON reader keeps it as a
    signed number even when it is 0, and counts take only unsigned ones."""


def json_int(text):
    value = int(text) if not text.startswith("-") else SignedInt(text)
    if -2**63 <= value < 2**64:
        return value
    return json_float(text)  # beyond 64 bits the reader takes it as a double


def json_float(text):
    value = float(text)
    if not math.isfinite(value):
        raise Bad("number overflow")
    return value


def refuse_constant(_):
    raise Bad("not JSON")


def depth(value):
    deepest, stack = 0, [(value, 1)]
    while stack:
        item, level = stack.pop()
        if isinstance(item, (dict, list)):
            deepest = max(deepest, level)
            stack.extend((v, level + 1) for v in (item.values() if isinstance(item, dict) else item))
    return deepest


def has_lone_surrogate(value):
    stack = [value]
    while stack:
        item = stack.pop()
        if isinstance(item, str):
            if any(0xD800 <= ord(c) <= 0xDFFF for c in item):
                return True
        elif isinstance(item, dict):
            stack.extend(item.keys())
            stack.extend(item.values())
        elif isinstance(item, list):
            stack.extend(item)
    return False


def nesting_bound(text):
    return text.count("[") + text.count("{")


def expected(line):
    """What the broker must do with one input line, written from the
    protocol's rules independently of its code: (diagnostics, command), or
    None when this model cannot tell (nesting too deep for Python's reader)."""
    if line.endswith(b"\r"):
        line = line[:-1]
    try:
        text = line.decode("utf-8")
    except UnicodeDecodeError:
        return 1, None
    if all(c in WHITE_SPACE for c in text):
        return 0, None
    if "\0" in text:
        return 1, None
    if text.startswith("\ufeff"):
        text = text[1:]  # the JSON reader skips a byte order mark
    if nesting_bound(text) > 800:
        return None
    try:
        value = json.loads(text, object_pairs_hook=object_pairs, parse_int=json_int,
                           parse_float=json_float, parse_constant=refuse_constant)
    except RecursionError:
        return None
    except ValueError:
        return 1, None
    if has_lone_surrogate(value):
        return 1, None
    if isinstance(value, list):
        if not 2 <= len(value) <= 3:
            return 1, None
        jsonrpc, method, params = (value + [None])[:3]
    elif isinstance(value, dict):
        if value.twice & {"jsonrpc", "method", "params"}:
            return 1, None
        jsonrpc, method, params = value.get("jsonrpc"), value.get("method"), value.get("params")
    else:
        return 1, None
    if not isinstance(jsonrpc, (str, type(None))) or not isinstance(method, (str, type(None))):
        return 1, None
    if not isinstance(params, (dict, type(None))):
        return 1, None
    if 1 + depth(params) > MAX_DEPTH:
        return 1, None
    if jsonrpc != "2.0" or not method or method not in METHODS:
        return 1, None
    params = params or {}
    if method == "terminal.input":
        data = params.get("data_b64")
        if not isinstance(data, str):
            return 0, None
        if len(data) % 4 or not BASE64.fullmatch(data):
            return 1, None
        try:
            decoded = base64.b64decode(data, validate=True)
        except binascii.Error:
            return 1, None
        if base64.b64encode(decoded).decode() != data:
            return 1, None  # bits set beyond the last whole byte
        return 0, ("input" if decoded else None)
    if method == "terminal.connect" and "flow_window" in params:
        if not is_count(params["flow_window"], MAX_FLOW_WINDOW):
            return 1, None
    if method == "terminal.ack" and not is_count(params.get("seq"), 2**64 - 1):
        return 1, None
    return 0, method


def is_count(value, most):
    """A JSON integer from 0 to `most`: fractions and exponents do not count."""
    return type(value) is int and 0 <= value <= most


def seed_lines(rng, big):
    def line(method, params):
        return json.dumps({"jsonrpc": "2.0", "method": method, "params": params},
                          separators=(",", ":"), ensure_ascii=False).encode()
    b64 = base64.b64encode(rng.randbytes(48)).decode()
    return [
        line("terminal.ping", {"nonce": 12345}),
        line("terminal.ping", {"nonce": {"a": [1, 2.5, None, True, "é€😀"]}}),
        line("terminal.input", {"data_b64": b64}),
        line("terminal.input", {"data_b64": "aGk="}),
        line("terminal.resize", {"cols": 120, "rows": " +40 "}),
        line("terminal.connect", {"cols": 100}),
        # No terminal.destroy: it ends the shell within seconds whatever the
        # shell ignores, which would end the run.
        b'["2.0","terminal.ping",{"nonce":"positional"}]',
        b'{"id":7,"jsonrpc":"2.0","method":"terminal.ping","params":{"nonce":-1e300}}',
        b'{ "jsonrpc" : "2.0" , "method" : "terminal.resize" , "params" : { "cols" : 1 } }',
        b'{"jsonrpc":"2.0","method":"terminal.ping","params":{"nonce":"\\ud83d\\ude00\\u0000"}}',
        # around the nesting limit, and deep where only well-formedness counts
        line("terminal.ping", {"nonce": nest(MAX_DEPTH - 2)}),
        line("terminal.ping", {"nonce": nest(MAX_DEPTH - 1)}),
        b'{"skipped":' + b"[" * 5000 + b"]" * 5000 + b',"jsonrpc":"2.0","method":"terminal.ping"}',
        b"[" * 100000,
        # huge numbers, a long method name, an unterminated long string
        b'{"jsonrpc":"2.0","method":"terminal.ping","params":{"nonce":' + b"9" * 400 + b"}}",
        b'{"jsonrpc":"2.0","method":"terminal.resize","params":{"cols":18446744073709551616}}',
        b'{"jsonrpc":"2.0","method":"' + b"m" * big + b'"}',
        b'{"jsonrpc":"2.0","method":"terminal.ping","params":{"nonce":"' + b"\xc3\xa9" * big,
        # a NUL ends nothing: the whole line is the text
        line("terminal.ping", {"nonce": 1}) + b"\0garbage",
    ]


def nest(levels):
    value = 0
    for _ in range(levels):
        value = [value]
    return value


INVALID_UTF8 = [b"\xff", b"\xc0\x80", b"\xed\xa0\x80", b"\x80", b"\xe2\x82", b"\xf4\x90\x80\x80"]


def mutate(rng, line, seeds):
    line = bytearray(line)
    for _ in range(rng.choice((1, 1, 1, 2, 2, 3))):
        at = rng.randrange(len(line) + 1)
        choice = rng.randrange(9)
        if choice == 0 and line:  # bit flips
            for _ in range(rng.choice((1, 1, 1, 2, 2, 3))):
                i = rng.randrange(len(line))
                line[i] ^= 1 << rng.randrange(8)
        elif choice == 1:  # truncation
            del line[at:]
        elif choice == 2:  # duplication of a slice, or of the whole line
            end = min(len(line), at + rng.randint(1, 64))
            line[at:at] = line[at:end] if rng.random() < 0.7 else bytes(line)
        elif choice == 3:
            line[at:at] = rng.choice(INVALID_UTF8)
        elif choice == 4:
            line[at:at] = b"\0"
        elif choice == 5:  # deep nesting
            levels = rng.choice([rng.randint(120, 135), rng.randint(1000, 20000)])
            line[at:at] = b"[" * levels + b"0" + b"]" * levels
        elif choice == 6:  # huge numbers
            line[at:at] = rng.choice([b"9" * rng.randint(20, 500), b"1e999", b"-1e400",
                                      b"18446744073709551616", b"0.0000000000000000000001e-400"])
        elif choice == 7:  # splice of two lines
            other = rng.choice(seeds)
            line[at:] = other[rng.randrange(len(other) + 1):]
        else:  # a random byte replaced, inserted or removed
            if line and rng.random() < 0.6:
                line[rng.randrange(len(line))] = rng.randrange(256)
            else:
                line[at:at] = bytes([rng.randrange(256)])
    return bytes(line).replace(b"\n", b" ")


def mutated_lines(args, count):
    """count lines, each followed by a ping that synchronises: once its pong
    is read, every diagnostic of the line is on standard error. Each line's
    diagnostics and pongs are compared with what the rules say."""
    rng = random.Random(args.seed)
    big = (8 << 20) if not args.short else (256 << 10)
    broker = Broker(args.sanitized, python_shell(SINK, END_TOKEN), stderr_pipe=True)
    try:
        broker.expect("ready")
        broker.output_until(b"R")
        seeds = seed_lines(rng, big)
        # Mutations start from (and splice in) the short seeds only: the huge
        # ones are tried once each, as they are.
        short = [seed for seed in seeds if len(seed) < 4096]
        lines = seeds + [mutate(rng, rng.choice(short), short) for _ in range(count - len(seeds))]
        tally = collections.Counter()
        mismatches, longest, started = [], 0, time.monotonic()
        for i, line in enumerate(lines):
            before = len(broker.stderr_read)
            broker.send(line + b"\n" + b'{"jsonrpc":"2.0","method":"terminal.ping","params":{"nonce":"sync-%d"}}\n' % i)
            pongs = 0
            while True:
                kind, value = broker.expect_any()
                if kind != "pong":
                    continue
                if value["nonce"] == "sync-%d" % i:
                    break
                pongs += 1
            new = broker.read_stderr()[before:]
            diagnostics = new.count(b"\n")
            longest = max([longest] + [len(d) for d in new.split(b"\n")])
            model = expected(line)
            tally["lines"] += 1
            tally["rejected"] += diagnostics
            if model is None:
                tally["unmodelled"] += 1
                ok = diagnostics <= 1
            else:
                ok = (diagnostics, pongs) == (model[0], 1 if model[1] == "terminal.ping" else 0)
            if not ok:
                mismatches.append("line %d (%r...): %d diagnostics, %d pongs, expected %r"
                                  % (i, line[:60], diagnostics, pongs, model))
            if any(mark in new for mark in SANITIZER_MARKS):
                raise Failure("sanitizer report after line %d: %r" % (i, new[:300]))
        seconds = time.monotonic() - started
        broker.send_json("terminal.ping", {"nonce": "last"})
        while broker.expect("pong")["nonce"] != "last":
            pass
        broker.send_input(END_TOKEN.encode())
        closed = broker.expect("closed")
        status = broker.wait()
        errors = broker.read_stderr()
        if any(mark in errors for mark in SANITIZER_MARKS):
            raise Failure("sanitizer report: %r" % errors[-300:])
        if mismatches:
            raise Failure("%d lines not handled as the rules say, first: %s"
                          % (len(mismatches), "; ".join(mismatches[:3])))
        if longest > 1024:
            raise Failure("a diagnostic line of %d bytes" % longest)
        if closed["exit_code"] != 0 or status != 0:
            raise Failure("closed %r, status %s" % (closed, status))
        return {"lines": tally["lines"], "rejected": tally["rejected"],
                "unmodelled": tally["unmodelled"], "longest_diagnostic": longest,
                "seconds": seconds}
    finally:
        broker.kill()


# --- the run --------------------------------------------------------------------

def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--broker", required=True)
    parser.add_argument("--sanitized")
    parser.add_argument("--short", action="store_true")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--only", help="comma-separated scenario names")
    args = parser.parse_args()
    args.sanitized = args.sanitized or args.broker
    signal.signal(signal.SIGPIPE, signal.SIG_IGN)
    long_mode = not args.short

    scenarios = {
        "output": lambda: relay(args, 1024 if long_mode else 64),
        "stall": lambda: relay(args, 64 if long_mode else 16, stall=10.0 if long_mode else 3.0),
        "brokers": lambda: many(args, 1000 if long_mode else 300, 100 if long_mode else 50),
        "signals": lambda: signal_burst(args, 1000),
        "endless-line": lambda: endless_line(args, 400 if long_mode else 64),
        "stdout-closed": lambda: stdout_closed(args),
        "stdout-full": lambda: stdout_full(args),
        "mutated": lambda: mutated_lines(args, 20000 if long_mode else 5000),
    }
    chosen = args.only.split(",") if args.only else list(scenarios)
    failed = 0
    print("soak run (%s mode), broker %s, sanitized %s"
          % ("short" if args.short else "long", args.broker, args.sanitized))
    for name in chosen:
        started = time.monotonic()
        try:
            figures = scenarios[name]()
            verdict = "ok"
        except Failure as failure:
            figures, verdict = {}, "FAILED: %s" % failure
            failed += 1
        described = ", ".join("%s %s" % (k, ("%.2f" % v) if isinstance(v, float) else v)
                              for k, v in figures.items())
        print("%-14s %-6s %5.1f s  %s" % (name, verdict if verdict == "ok" else "", time.monotonic() - started,
                                        described if verdict == "ok" else verdict), flush=True)
    print("soak: %s" % ("all held" if not failed else "%d scenario(s) failed" % failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
