#!/usr/bin/env python3
"""Measures the broker against the raw relay, side by side, and prints a
markdown report: the machine, one table of figures with the ratio broker/raw,
and the micro-benchmark output.

Runs alternate broker and raw relay and report medians, because the machines
this runs on are shared and noisy: read the ratios, not the absolute times.
Usage: bench/run.py [--build DIR] [--quick]   (bench/run.sh builds first)
"""

import argparse
import base64
import binascii
import json
import os
import select
import statistics
import subprocess
import sys
import tempfile
import threading
import time

import attach_pty
import memory
from flood import WINDOW, flood_figures, flood_goals, flood_table

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DATA_DIR = os.path.join(ROOT, "bench", "data")
DATA_PREFIX = b'{"data_b64":"'


class Tools:
    def __init__(self, build):
        self.broker = os.path.join(build, "terminal-stream-broker")
        self.attach = os.path.join(build, "terminal-stream-attach")
        if not os.access(self.attach, os.X_OK):  # a build that keeps it beside its module
            for folder, _, files in os.walk(build):
                if "terminal-stream-attach" in files:
                    self.attach = os.path.join(folder, "terminal-stream-attach")
                    break
        self.raw = os.path.join(build, "bench", "raw_relay")
        self.json = os.path.join(build, "bench", "json_relay")
        self.echo = os.path.join(build, "bench", "raw_echo")
        self.micro = os.path.join(build, "bench", "micro_bench")
        self.sink = os.path.join(build, "bench", "sink")
        for path in (self.broker, self.attach, self.raw, self.json, self.echo, self.micro, self.sink):
            if not os.access(path, os.X_OK):
                sys.exit(f"missing {path}: run bench/run.sh, which builds it")

    def program(self, kind):
        return {"broker": self.broker, "raw": self.raw, "json": self.json}[kind]


class Relay:
    """One running relay (the broker, the raw relay or the JSON relay) and
    the consumer side of its standard streams. read() gives terminal bytes
    for every kind: for the broker and the JSON relay they are decoded from
    the data events, whose seq is checked."""

    def __init__(self, tools, kind, command, env_extra=None):
        self.kind = kind
        env = dict(os.environ)
        env.pop("TERMINAL_STREAM_SHELL_CMD_JSON", None)
        env.update(env_extra or {})
        program = tools.program(kind)
        # Diagnostics go to a file, so that a chatty relay never blocks on a
        # full pipe; finish() shows them.
        self.errors = tempfile.TemporaryFile()
        self.started = time.perf_counter()
        self.proc = subprocess.Popen([program, "--", *command], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=self.errors,
                                     bufsize=0, env=env)
        self.out = self.proc.stdout.fileno()
        self.pending = b""
        self.events = []  # non-data events of the broker, parsed
        self.seq = 0
        self.eof = False
        self.held = b""  # terminal bytes read but not yet taken
        self.peak_hwm_kb = 0

    # --- input -----------------------------------------------------------
    def input_line(self, data):
        if self.kind == "raw":
            return data
        text = base64.b64encode(data).decode()
        return ('{"jsonrpc":"2.0","method":"terminal.input","params":{"data_b64":"%s"}}\n'
                % text).encode()

    def write(self, payload):
        view = memoryview(payload)
        while view:
            n = os.write(self.proc.stdin.fileno(), view)
            view = view[n:]

    def send(self, data):
        self.write(self.input_line(data))

    def ping(self, nonce):
        self.write(('{"jsonrpc":"2.0","method":"terminal.ping","params":{"nonce":%d}}\n'
                    % nonce).encode())

    # --- output ----------------------------------------------------------
    def read(self, timeout):
        """Terminal bytes that arrived within `timeout` seconds (b"" when
        none or at the end of output); other events go to self.events."""
        if self.eof:
            return b""
        ready, _, _ = select.select([self.out], [], [], timeout)
        if not ready:
            return b""
        chunk = os.read(self.out, 1 << 20)
        if not chunk:
            self.eof = True
            return b""
        if self.kind == "raw":
            return chunk
        return self._decode(chunk)

    def _decode(self, chunk):
        lines = (self.pending + chunk).split(b"\n")
        self.pending = lines.pop()
        parts = []
        for line in lines:
            if line.startswith(DATA_PREFIX):
                end = line.index(b'"', len(DATA_PREFIX))
                parts.append(binascii.a2b_base64(line[len(DATA_PREFIX):end], strict_mode=True))
                seq = int(line[line.index(b'"seq":', end) + 6:].split(b",", 1)[0])
                if seq != self.seq + 1:
                    raise RuntimeError(f"data event seq {seq} after {self.seq}")
                self.seq = seq
            else:
                self.events.append(json.loads(line))
        return b"".join(parts)

    def wait_event(self, kind, timeout=10.0):
        """The first broker event of `kind`; terminal bytes read meanwhile are
        kept for wait_bytes."""
        deadline = time.perf_counter() + timeout
        while True:
            for i, event in enumerate(self.events):
                if event.get("type") == kind:
                    return self.events.pop(i)
            if self.eof or time.perf_counter() > deadline:
                raise RuntimeError(f"no {kind} event from the broker")
            self.held += self.read(0.5)

    def wait_bytes(self, count, timeout=60.0):
        """Reads until `count` terminal bytes have come; returns them."""
        deadline = time.perf_counter() + timeout
        got = [self.held]
        size = len(self.held)
        self.held = b""
        while size < count:
            if self.eof or time.perf_counter() > deadline:
                raise RuntimeError(f"{self.kind}: {size} of {count} bytes came")
            chunk = self.read(0.5)
            got.append(chunk)
            size += len(chunk)
        data = b"".join(got)
        self.held = data[count:]
        return data[:count]

    # --- process ---------------------------------------------------------
    def sample_hwm(self):
        try:
            with open(f"/proc/{self.proc.pid}/status") as status:
                for line in status:
                    if line.startswith("VmHWM:"):
                        self.peak_hwm_kb = max(self.peak_hwm_kb, int(line.split()[1]))
        except OSError:
            pass

    def finish(self, timeout=30.0):
        """Closes stdin, reads to the end of output, and returns the CPU
        seconds the relay process itself used (its own threads, not the
        shell), read while it is a zombie, before it is reaped."""
        try:
            self.proc.stdin.close()
        except BrokenPipeError:
            pass
        deadline = time.perf_counter() + timeout
        while not self.eof:
            if time.perf_counter() > deadline:
                self.proc.kill()
                raise RuntimeError(f"{self.kind} did not end")
            self.read(0.5)
        os.waitid(os.P_PID, self.proc.pid, os.WEXITED | os.WNOWAIT)
        with open(f"/proc/{self.proc.pid}/stat") as stat:
            fields = stat.read().rsplit(")", 1)[1].split()
        cpu = (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
        self.proc.wait()
        self.proc.stdout.close()
        self.errors.seek(0)
        diagnostics = self.errors.read()
        self.errors.close()
        if diagnostics:
            print(f"{self.kind} stderr: {diagnostics[:500]!r}", file=sys.stderr)
        return cpu


class BarePty(Relay):
    """The same program on a PTY of its own, with no relay in between: the
    floor under every relay's keystroke echo. It shares Relay's waiting for
    bytes, not its process: the benchmark itself holds the master."""

    def __init__(self, tools, command):
        self.kind = "bare"
        # The attach benchmark's plain terminal: 80x24, like the relays'.
        self.out, slave = attach_pty.open_terminal()
        self.proc = attach_pty.start(tools, "plain", command, slave)
        os.close(slave)
        self.eof = False
        self.held = b""

    def send(self, data):
        os.write(self.out, data)

    def read(self, timeout):
        if self.eof or not select.select([self.out], [], [], timeout)[0]:
            return b""
        try:
            return os.read(self.out, 1 << 20)
        except OSError:  # EIO: the terminal's last holder has gone
            self.eof = True
            return b""

    def finish(self, timeout=30.0):
        self.proc.kill()
        self.proc.wait(timeout)
        os.close(self.out)


def wait_ready(relay):
    """Waits until the shell (raw_echo) has put its terminal in raw mode."""
    if relay.kind in ("broker", "json"):
        relay.wait_event("ready")
    if relay.wait_bytes(1) != b"R":
        raise RuntimeError("unexpected first output")


def percentile(values, p):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(p / 100 * (len(ordered) - 1))))]


def alternate(reps, measure, kinds=("broker", "raw")):
    """Runs measure(kind) alternately for every kind; lists of results."""
    results = {kind: [] for kind in kinds}
    for _ in range(reps):
        for kind in kinds:
            results[kind].append(measure(kind))
    return results


# --- 1 and 5: output throughput, CPU and peak memory ------------------------

def ensure_data_file(size_mb):
    path = os.path.join(DATA_DIR, f"text-{size_mb}MB.txt")
    if os.path.exists(path) and os.path.getsize(path) == size_mb * 1000 * 1000:
        return path
    os.makedirs(DATA_DIR, exist_ok=True)
    line_bytes = 57  # 76 Base64 characters and a line feed per line
    with open(path + ".tmp", "wb") as out:
        left = size_mb * 1000 * 1000
        while left > 0:
            block = base64.encodebytes(os.urandom(line_bytes * 8192))
            out.write(block[:left])
            left -= min(left, len(block))
    os.rename(path + ".tmp", path)
    return path


def throughput(tools, path, consumer):
    """Output of cat delivered to a consumer: the C++ sink (little work of its
    own, so the figure is the relay's) or this script (decoding in Python).
    Kinds "flow" and "flow-big" are the broker with a flow window of WINDOW
    and 4 x WINDOW bytes that the sink acknowledges after each read;
    "flow-each" the window of WINDOW bytes with one ack per data event, sent
    as soon as the event is decoded (the rate a browser terminal sends
    them)."""
    size = os.path.getsize(path)
    # Raw mode turns output processing off, so the bytes arrive unchanged.
    command = ["sh", "-c", 'stty raw -echo && exec cat "$0"', path]

    def consume(relay, window, ack_mode):
        if consumer == "python":
            total = 0
            while not relay.eof:
                total += len(relay.read(1.0))
            return total, True
        if window:
            # The sink writes its acks straight to the broker's stdin.
            relay.write(b'{"jsonrpc":"2.0","method":"terminal.connect",'
                        b'"params":{"flow_window":%d}}\n' % window)
            ack_fd = relay.proc.stdin.fileno()
            sink = subprocess.Popen([tools.sink, ack_mode, str(ack_fd)],
                                    stdin=relay.proc.stdout, stdout=subprocess.PIPE,
                                    pass_fds=(ack_fd,))
        else:
            sink = subprocess.Popen([tools.sink, "raw" if relay.kind == "raw" else "broker"],
                                    stdin=relay.proc.stdout,
                                    stdout=subprocess.PIPE)
        relay.proc.stdout.close()
        relay.eof = True
        total, _, verdict = sink.communicate()[0].split()
        return int(total), verdict == b"ok"

    def measure(kind):
        window = {"flow": WINDOW, "flow-big": 4 * WINDOW, "flow-each": WINDOW}.get(kind, 0)
        ack_mode = "broker-ack-each" if kind == "flow-each" else "broker-ack"
        relay = Relay(tools, "broker" if window else kind, command)
        sampler_stop = threading.Event()

        def sampler():
            while not sampler_stop.wait(0.02):
                relay.sample_hwm()

        thread = threading.Thread(target=sampler, daemon=True)
        thread.start()
        total, ok = consume(relay, window, ack_mode)
        elapsed = time.perf_counter() - relay.started
        relay.sample_hwm()
        sampler_stop.set()
        thread.join()
        cpu = relay.finish()
        if total != size or not ok:
            raise RuntimeError(f"{kind}: {total} bytes delivered, {size} expected, ok={ok}")
        return {"mbps": size / elapsed / 1e6, "cpu": cpu / (size / 100e6),
                "hwm": relay.peak_hwm_kb / 1024}

    return measure


# --- 2: keystroke echo latency ----------------------------------------------

def echo_latency(tools, count):
    def measure(kind):
        command = [tools.echo, "echo"]
        relay = BarePty(tools, command) if kind == "bare" else Relay(tools, kind, command)
        wait_ready(relay)
        samples = []
        next_send = time.perf_counter()
        for i in range(count):
            next_send += 0.010
            key = bytes([ord("a") + i % 26])
            start = time.perf_counter()
            relay.send(key)
            if relay.wait_bytes(1) != key:
                raise RuntimeError("wrong echo")
            samples.append((time.perf_counter() - start) * 1e6)
            time.sleep(max(0.0, next_send - time.perf_counter()))
        relay.finish()
        return samples

    return measure


# --- 3: ping round trip -----------------------------------------------------

def ping_rtt(tools, count):
    def measure(kind):
        relay = Relay(tools, kind, ["sleep", "1000"])
        relay.wait_event("ready")
        time.sleep(0.2)
        samples = []
        for nonce in range(count):
            start = time.perf_counter()
            relay.ping(nonce)
            pong = relay.wait_event("pong")
            samples.append((time.perf_counter() - start) * 1e6)
            if pong.get("nonce") != nonce:
                raise RuntimeError("pong with a wrong nonce")
            time.sleep(0.010)
        relay.finish()
        return samples

    return measure


# --- 4: start-up --------------------------------------------------------------

def startup(tools):
    def measure(kind):
        relay = Relay(tools, kind, [tools.echo, "hello"])
        ready = None
        if kind == "broker":
            relay.wait_event("ready")
            ready = (time.perf_counter() - relay.started) * 1e3
        relay.wait_bytes(1)
        first = (time.perf_counter() - relay.started) * 1e3
        relay.finish()
        return ready, first

    return measure


# --- 6: idle cost -------------------------------------------------------------

def task_figures(pid):
    """(CPU nanoseconds, context switches) summed over the threads of pid."""
    cpu = switches = 0
    for tid in os.listdir(f"/proc/{pid}/task"):
        with open(f"/proc/{pid}/task/{tid}/schedstat") as schedstat:
            cpu += int(schedstat.read().split()[0])
        with open(f"/proc/{pid}/task/{tid}/status") as status:
            for line in status:
                if line.startswith(("voluntary_ctxt_switches", "nonvoluntary_ctxt_switches")):
                    switches += int(line.split()[1])
    return cpu, switches


def idle_cost(tools, kind, count, seconds, env_extra=None):
    relays = [Relay(tools, kind, ["sleep", "1000"], env_extra) for _ in range(count)]
    for relay in relays:
        if kind == "broker":
            relay.wait_event("ready")
    time.sleep(1.0)
    before = [task_figures(r.proc.pid) for r in relays]
    start = time.perf_counter()
    time.sleep(seconds)
    after = [task_figures(r.proc.pid) for r in relays]
    elapsed = time.perf_counter() - start
    for relay in relays:
        relay.finish()
    cpu = sum(a[0] - b[0] for a, b in zip(after, before)) / 1e9
    wakeups = sum(a[1] - b[1] for a, b in zip(after, before))
    return {"core_pct": cpu / elapsed * 100, "wakeups": wakeups / elapsed}


# --- 7: large paste -----------------------------------------------------------

def paste_discard(tools, total, chunk):
    blob = os.urandom(total)

    def measure(kind):
        relay = Relay(tools, kind, [tools.echo, "discard", str(total)])
        payload = b"".join(relay.input_line(blob[i:i + chunk]) for i in range(0, total, chunk))
        wait_ready(relay)
        start = time.perf_counter()
        writer = threading.Thread(target=relay.write, args=(payload,))
        writer.start()
        done = relay.wait_bytes(1, timeout=120)
        elapsed = time.perf_counter() - start
        writer.join()
        relay.finish()
        if done != b"D":
            raise RuntimeError("the discarding program did not finish")
        return total / elapsed / 1e6

    return measure


def paste_echo(tools, total, chunk):
    blob = os.urandom(total)

    def measure(kind):
        relay = Relay(tools, kind, [tools.echo, "echo"])
        payload = b"".join(relay.input_line(blob[i:i + chunk]) for i in range(0, total, chunk))
        wait_ready(relay)
        start = time.perf_counter()
        writer = threading.Thread(target=relay.write, args=(payload,))
        writer.start()
        echoed = relay.wait_bytes(total, timeout=120)
        elapsed = time.perf_counter() - start
        writer.join()
        relay.finish()
        return {"mbps": total / elapsed / 1e6, "intact": echoed == blob}

    return measure


# --- report -------------------------------------------------------------------

def machine():
    model = "unknown"
    with open("/proc/cpuinfo") as cpuinfo:
        for line in cpuinfo:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    return f"{model}, nproc {os.cpu_count()}, kernel {os.uname().release}"


class Table:
    def __init__(self):
        self.rows = []

    def add(self, name, broker, raw=None, fmt="{:.1f}", ratio=True):
        cell = lambda v: "n/a" if v is None else fmt.format(v)
        r = "n/a"
        if ratio and raw not in (None, 0) and broker is not None:
            r = f"{broker / raw:.2f}"
        self.rows.append((name, cell(broker), cell(raw), r))

    def add_text(self, name, broker, raw, ratio="n/a"):
        self.rows.append((name, broker, raw, ratio))

    def render(self):
        out = ["| figure | broker | raw relay | broker/raw |", "|---|---:|---:|---:|"]
        out += [f"| {a} | {b} | {c} | {d} |" for a, b, c, d in self.rows]
        return "\n".join(out)


class PeerTable:
    """Figures set against a named peer (node-pty, the JSON relay, a plain
    shell): the row names both sides."""

    def __init__(self):
        self.rows = []

    def add(self, name, ours, peer_name, peer, fmt="{:.1f}", ratio=True):
        cell = lambda v: "n/a" if v is None else fmt.format(v)
        r = f"{ours / peer:.2f}" if ratio and peer not in (None, 0) and ours is not None else "n/a"
        self.rows.append((name, cell(ours), peer_name, cell(peer), r))

    def render(self):
        out = ["| figure | ours | peer | peer's figure | ours/peer |", "|---|---:|---|---:|---:|"]
        out += [f"| {a} | {b} | {c} | {d} | {e} |" for a, b, c, d, e in self.rows]
        return "\n".join(out)


# --- flood through headless xterm.js, against node-pty ------------------------

FLOOD_XTERM_MODES = ("broker", "broker-window", "node-pty")


def flood_xterm(tools, reps, log):
    """Runs bench/flood_xterm.js, the modes alternating; results by mode."""
    runs = {mode: [] for mode in FLOOD_XTERM_MODES}
    for rep in range(reps):
        for mode in FLOOD_XTERM_MODES:
            done = subprocess.run(["node", os.path.join(ROOT, "bench", "flood_xterm.js"), "--mode", mode,
                                   "--broker", tools.broker], capture_output=True, text=True, timeout=120)
            if done.returncode != 0:
                raise RuntimeError(f"flood_xterm {mode}: {done.stderr[-500:]}")
            result = json.loads(done.stdout)
            runs[mode].append(result)
            log(f"flood/xterm {rep + 1}/{reps} {mode}: ^C to prompt {result['ms']:.0f} ms, "
                f"{result['after']} bytes rendered after ^C ({result['held']} held at ^C), "
                f"{result['peak']} held at most")
    return runs


def flood_xterm_table(runs):
    med = statistics.median
    label = {
        "broker": "broker, flow control off",
        "broker-window": "broker, flow window 256 KiB, one ack per rendered event",
        "node-pty": "node-pty, pause() and resume()",
    }
    out = ["| peer (renders through xterm.js, at most 10 MB/s; stops reading at 512 KB, resumes "
           "below 128 KB) | ^C to prompt, ms | rendered after ^C, KB | of which the relay still "
           "held, KB | most held, KB | rendered during the flood, MB/s |",
           "|---|---:|---:|---:|---:|---:|"]
    for mode, results in runs.items():
        ms = [r["ms"] for r in results]
        out.append(f"| {label[mode]} | {med(ms):.0f} ({min(ms):.0f}-{max(ms):.0f}) "
                   f"| {med(r['after'] for r in results) / 1000:.0f} "
                   f"| {med(r['after'] - r['held'] for r in results) / 1000:.0f} "
                   f"| {max(r['peak'] for r in results) / 1000:.0f} "
                   f"| {med(r['rate'] for r in results) / 1e6:.1f} |")
    return "\n".join(out)


def web_bench(tools, quick, log):
    rounds, keys, idle = (1, 30, 3) if quick else (9, 60, 10)
    log(f"browser terminals: {rounds} rounds of each, {keys} keys, {idle} s idle")
    done = subprocess.run(["node", os.path.join(ROOT, "bench", "web_bench.js"), "--broker", tools.broker,
                           "--rounds", str(rounds), "--keys", str(keys), "--idle", str(idle)],
                          stdout=subprocess.PIPE, text=True, timeout=1800)
    if done.returncode != 0:
        raise RuntimeError("web_bench.js failed")
    return json.loads(done.stdout)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(ROOT, "build", "bench"))
    parser.add_argument("--quick", action="store_true", help="small sizes, one repetition")
    parser.add_argument("--only", default="",
                        help="comma-separated subset: throughput,flow_throughput,echo,ping,"
                             "startup,idle,paste,flood,flood_xterm,memory,attach,web,micro")
    args = parser.parse_args()
    only = {name for name in args.only.split(",") if name}
    want = lambda name: not only or name in only
    tools = Tools(args.build)
    quick = args.quick
    # Each repetition takes seconds; more of them steady the medians on a
    # shared machine.
    reps = 1 if quick else 7
    size_mb = 20 if quick else 200
    table = Table()
    peers = PeerTable()
    med = statistics.median
    log = lambda text: print(f"... {text}", file=sys.stderr, flush=True)

    if want("throughput"):
        data_file = ensure_data_file(size_mb)
        log(f"throughput, Python consumer: {reps} x {size_mb} MB each")
        results = alternate(reps, throughput(tools, data_file, "python"))
        table.add(f"output throughput, MB/s (cat of {size_mb} MB, consumer decodes in Python)",
                  med(x["mbps"] for x in results["broker"]), med(x["mbps"] for x in results["raw"]))
        log(f"throughput, C++ consumer: {reps} x {size_mb} MB each")
        results = alternate(reps, throughput(tools, data_file, "sink"), ("broker", "json", "raw"))
        b, j, r = results["broker"], results["json"], results["raw"]
        table.add(f"output throughput, MB/s (cat of {size_mb} MB, consumer decodes in C++)",
                  med(x["mbps"] for x in b), med(x["mbps"] for x in r))
        table.add("CPU seconds of the relay per 100 MB", med(x["cpu"] for x in b),
                  med(x["cpu"] for x in r), "{:.3f}")
        table.add("peak RSS (VmHWM) during throughput, MiB", max(x["hwm"] for x in b),
                  max(x["hwm"] for x in r), "{:.2f}")
        peers.add(f"output throughput, MB/s (cat of {size_mb} MB, C++ consumer)",
                  med(x["mbps"] for x in b), "JSON relay", med(x["mbps"] for x in j))
        peers.add("CPU seconds of the relay per 100 MB", med(x["cpu"] for x in b), "JSON relay",
                  med(x["cpu"] for x in j), "{:.3f}")

    if want("flow_throughput"):
        data_file = ensure_data_file(size_mb)
        log(f"throughput with a {WINDOW // 1024} KiB flow window and acks: {reps} x {size_mb} MB")
        kinds = ("flow-each", "flow", "flow-big", "broker", "raw")
        results = alternate(reps, throughput(tools, data_file, "sink"), kinds)
        fe, f, f4, b, r = (med(x["mbps"] for x in results[k]) for k in kinds)
        table.add(f"output throughput, MB/s (cat of {size_mb} MB, C++ consumer), "
                  f"flow window {WINDOW // 1024} KiB, one ack per data event as decoded", fe, r)
        table.add(f"the same, flow window {WINDOW // 1024} KiB, acks after each read", f, r)
        table.add(f"the same, flow window {4 * WINDOW // 1024} KiB, acks after each read", f4, r)
        table.add("the same without flow control (all four run alternately)", b, r)
        table.add(f"flow window {WINDOW // 1024} KiB (one ack per event) / no flow control, "
                  "throughput ratio", fe / b, None, "{:.2f}", ratio=False)

    if want("echo"):
        log("keystroke echo latency")
        kinds = ("broker", "json", "raw", "bare")
        results = alternate(2, echo_latency(tools, 50 if quick else 150), kinds)
        b, j, r, bare = (sum(results[k], []) for k in kinds)
        table.add(f"echo latency p50, us ({len(b)} keys, 10 ms apart)", percentile(b, 50),
                  percentile(r, 50), "{:.0f}")
        table.add("echo latency p99, us", percentile(b, 99), percentile(r, 99), "{:.0f}")
        table.add("echo latency p50 difference, us", percentile(b, 50) - percentile(r, 50),
                  None, "{:.0f}", ratio=False)
        peers.add(f"echo latency p50, us ({len(b)} keys, 10 ms apart)", percentile(b, 50),
                  "JSON relay", percentile(j, 50), "{:.0f}")
        peers.add(f"echo latency p50, us ({len(b)} keys, 10 ms apart)", percentile(b, 50),
                  "the program on a bare PTY", percentile(bare, 50), "{:.0f}")

    if want("ping"):
        log("ping round trip")
        count = 50 if quick else 150
        results = alternate(2, ping_rtt(tools, count), ("broker", "json"))
        b, j = sum(results["broker"], []), sum(results["json"], [])
        table.add(f"idle ping round trip median, us ({len(b)} pings)", med(b), None, "{:.0f}")
        table.add("idle ping round trip p99, us", percentile(b, 99), None, "{:.0f}")
        peers.add(f"idle ping round trip p50, us ({len(b)} pings, 10 ms apart)", med(b),
                  "JSON relay", med(j), "{:.0f}")

    if want("startup"):
        log("start-up")
        results = alternate(5 if quick else 20, startup(tools))
        table.add("start-up to ready line, ms (median)",
                  med(x[0] for x in results["broker"]), None, "{:.2f}")
        table.add("start-up to first output byte of the shell, ms (median)",
                  med(x[1] for x in results["broker"]), med(x[1] for x in results["raw"]), "{:.2f}")

    if want("idle"):
        idle_n, idle_s = (5, 3) if quick else (20, 10)
        log(f"idle: {idle_n} relays for {idle_s} s, three times")
        pidfd = idle_cost(tools, "broker", idle_n, idle_s)
        poll50 = idle_cost(tools, "broker", idle_n, idle_s, {"TERMINAL_STREAM_NO_PIDFD": "1"})
        raw = idle_cost(tools, "raw", idle_n, idle_s)
        table.add(f"{idle_n} idle relays, % of one core", pidfd["core_pct"], raw["core_pct"],
                  "{:.3f}", ratio=False)
        table.add(f"{idle_n} idle relays, wake-ups per second (all)", pidfd["wakeups"],
                  raw["wakeups"], "{:.1f}", ratio=False)
        table.add(f"{idle_n} idle brokers with TERMINAL_STREAM_NO_PIDFD=1, % of one core",
                  poll50["core_pct"], None, "{:.3f}", ratio=False)
        table.add(f"{idle_n} idle brokers with TERMINAL_STREAM_NO_PIDFD=1, wake-ups per second",
                  poll50["wakeups"], None, "{:.1f}", ratio=False)

    if want("paste"):
        paste_mb = 4 if quick else 20
        log(f"large paste: {paste_mb} MB discarded, 2 MB echoed")
        results = alternate(reps, paste_discard(tools, paste_mb * 1000 * 1000, 65536))
        table.add(f"paste of {paste_mb} MB in 64 KiB inputs, MB/s", med(results["broker"]),
                  med(results["raw"]))
        results = alternate(1, paste_echo(tools, 2 * 1000 * 1000, 65536))
        b, r = results["broker"][0], results["raw"][0]
        table.add("paste of 2 MB echoed back, MB/s", b["mbps"], r["mbps"])
        table.add_text("paste of 2 MB echoed back, every byte intact",
                       "yes" if b["intact"] else "NO", "yes" if r["intact"] else "NO")

    flood = None
    if want("flood"):
        flood = flood_figures(tools.broker, 1 if quick else 3, log)

    flood_x = None
    if want("flood_xterm"):
        flood_x = flood_xterm(tools, 1 if quick else 7, log)
        ms = lambda mode: med(r["ms"] for r in flood_x[mode])
        extra = lambda mode: med(r["after"] - r["held"] for r in flood_x[mode]) / 1000
        peers.add("flood, ^C to prompt rendered (xterm.js peer that stops reading), ms, "
                  "flow control off", ms("broker"), "node-pty", ms("node-pty"), "{:.0f}")
        peers.add("the same, flow window 256 KiB and one ack per rendered event", ms("broker-window"),
                  "node-pty", ms("node-pty"), "{:.0f}")
        peers.add("flood: rendered after ^C beyond what the peer held at ^C, KB, flow control off",
                  extra("broker"), "node-pty", extra("node-pty"), "{:.0f}")
        peers.add("flood: most held by the peer, KB, flow control off",
                  max(r["peak"] for r in flood_x["broker"]) / 1000, "node-pty",
                  max(r["peak"] for r in flood_x["node-pty"]) / 1000, "{:.0f}")

    memory_rows = None
    if want("memory"):
        count = 100 if quick else 1000
        log(f"memory: {count} idle brokers, then node-pty with {count} terminals")
        brokers = memory.brokers_idle(tools.broker, count)
        nodepty = memory.nodepty_idle(count)
        nodepty_one = memory.nodepty_idle(1)
        peers.add(f"PSS per idle terminal, kB ({count} brokers; node-pty: its Node.js process "
                  f"with {count} terminals, / {count})", brokers["pss_kb"], "node-pty",
                  nodepty["pss_kb"], "{:.0f}")
        peers.add(f"the same, node-pty's growth per terminal from 1 to {count} terminals", None,
                  "node-pty", (nodepty["process_pss_kb"] - nodepty_one["process_pss_kb"]) / (count - 1),
                  "{:.0f}", ratio=False)
        peers.add("threads per broker; node-pty's process", brokers["threads"], "node-pty",
                  nodepty["threads"], "{:.0f}", ratio=False)
        memory_rows = brokers

    if want("attach"):
        attach_mb = 10 if quick else 50
        data_file = ensure_data_file(attach_mb)
        log(f"attach client: cat of {attach_mb} MB, {reps} x each; echo")
        results = alternate(reps, attach_pty.throughput(tools, data_file), ("attach", "plain"))
        peers.add(f"terminal-stream-attach: cat of {attach_mb} MB to the terminal, MB/s",
                  med(results["attach"]), "plain shell on the PTY", med(results["plain"]))
        results = alternate(3, attach_pty.echo(tools, 30 if quick else 100), ("attach", "plain"))
        a, p = sum(results["attach"], []), sum(results["plain"], [])
        peers.add(f"terminal-stream-attach: keystroke echo p50, us ({len(a)} keys, 20 ms apart)",
                  percentile(a, 50), "plain shell on the PTY", percentile(p, 50), "{:.0f}")

    if want("web"):
        web = web_bench(tools, quick, log)
        keys = {kind: sum((r["keys"] for r in web[kind]), []) for kind in ("web", "peer")}
        peer_name = "node-pty browser terminal"
        for p in (50, 95):
            peers.add(f"browser: keypress to buffer p{p}, ms ({len(keys['web'])} keys, 40-60 ms apart)",
                      percentile(keys["web"], p), peer_name, percentile(keys["peer"], p), "{:.1f}")
        pick = lambda kind, key: med(r[key] for r in web[kind])
        peers.add("browser: idle page, % of one core (browser processes)", pick("web", "idle"),
                  peer_name, pick("peer", "idle"), "{:.2f}")
        peers.add("browser: `seq 1 1000000`, Enter to the last line, ms", pick("web", "seq"),
                  peer_name, pick("peer", "seq"), "{:.0f}")
        peers.add("browser: `yes` for 1.5 s, ^C to the prompt in the buffer, ms", pick("web", "flood"),
                  peer_name, pick("peer", "flood"), "{:.0f}")
        peers.add("browser: page opened to first prompt, ms", pick("web", "firstPrompt"),
                  peer_name, pick("peer", "firstPrompt"), "{:.0f}")

    if want("micro"):
        log("micro-benchmarks")
        micro = subprocess.run([tools.micro, "--benchmark_repetitions=3",
                                "--benchmark_report_aggregates_only=true"],
                               capture_output=True, text=True, check=True)

    print(f"Machine: {machine()}\n")
    if table.rows:
        print(table.render())
    if peers.rows:
        print("\nAgainst the peers (medians of alternating rounds):\n")
        print(peers.render())
    if flood_x:
        print("\nFlood, then ^C, rendered through headless xterm.js (medians; ^C to prompt also min-max):\n")
        print(flood_xterm_table(flood_x))
    if memory_rows:
        print(f"\nWhere an idle broker's memory goes (mean over a sample of the {memory_rows['count']} "
              f"brokers; RSS {memory_rows['rss_kb']:.0f} kB, private dirty "
              f"{memory_rows['private_dirty_kb']:.0f} kB, {memory_rows['threads']:.0f} threads):\n")
        print("| mappings | PSS, kB | private dirty, kB |\n|---|---:|---:|")
        for name, (pss, dirty) in sorted(memory_rows["breakdown"].items(), key=lambda x: -x[1][0]):
            print(f"| {name} | {pss:.0f} | {dirty:.0f} |")
    if flood:
        print("\nFlood, then ^C (medians of the runs; ^C to prompt also min-max):\n")
        print(flood_table(flood))
        print("\nGoals:\n")
        print("\n".join(f"- {line}" for line in flood_goals(flood)))
    if want("micro"):
        print("\nMicro-benchmarks (Google Benchmark):\n")
        print("\n".join("    " + line for line in micro.stdout.rstrip().splitlines()))


if __name__ == "__main__":
    main()
