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

from flood import WINDOW, flood_figures, flood_goals, flood_table

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DATA_DIR = os.path.join(ROOT, "bench", "data")
DATA_PREFIX = b'{"data_b64":"'


class Tools:
    def __init__(self, build):
        self.broker = os.path.join(build, "terminal-stream-broker")
        self.raw = os.path.join(build, "bench", "raw_relay")
        self.echo = os.path.join(build, "bench", "raw_echo")
        self.micro = os.path.join(build, "bench", "micro_bench")
        self.sink = os.path.join(build, "bench", "sink")
        for path in (self.broker, self.raw, self.echo, self.micro, self.sink):
            if not os.access(path, os.X_OK):
                sys.exit(f"missing {path}: run bench/run.sh, which builds it")


class Relay:
    """One running relay (the broker or the raw relay) and the consumer side
    of its standard streams. data() yields terminal bytes for both kinds: for
    the broker they are decoded from the data events, whose seq is checked."""

    def __init__(self, tools, kind, command, env_extra=None):
        self.kind = kind
        env = dict(os.environ)
        env.pop("TERMINAL_STREAM_SHELL_CMD_JSON", None)
        env.update(env_extra or {})
        program = tools.broker if kind == "broker" else tools.raw
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


def wait_ready(relay):
    """Waits until the shell (raw_echo) has put its terminal in raw mode."""
    if relay.kind == "broker":
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
    and 4 x WINDOW bytes that the sink acknowledges after each read."""
    size = os.path.getsize(path)
    # Raw mode turns output processing off, so the bytes arrive unchanged.
    command = ["sh", "-c", 'stty raw -echo && exec cat "$0"', path]

    def consume(relay, window):
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
            sink = subprocess.Popen([tools.sink, "broker-ack", str(ack_fd)],
                                    stdin=relay.proc.stdout, stdout=subprocess.PIPE,
                                    pass_fds=(ack_fd,))
        else:
            sink = subprocess.Popen([tools.sink, relay.kind], stdin=relay.proc.stdout,
                                    stdout=subprocess.PIPE)
        relay.proc.stdout.close()
        relay.eof = True
        total, _, verdict = sink.communicate()[0].split()
        return int(total), verdict == b"ok"

    def measure(kind):
        window = {"flow": WINDOW, "flow-big": 4 * WINDOW}.get(kind, 0)
        relay = Relay(tools, "broker" if window else kind, command)
        sampler_stop = threading.Event()

        def sampler():
            while not sampler_stop.wait(0.02):
                relay.sample_hwm()

        thread = threading.Thread(target=sampler, daemon=True)
        thread.start()
        total, ok = consume(relay, window)
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
        relay = Relay(tools, kind, [tools.echo, "echo"])
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
    relay = Relay(tools, "broker", ["sleep", "1000"])
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


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(ROOT, "build", "bench"))
    parser.add_argument("--quick", action="store_true", help="small sizes, one repetition")
    parser.add_argument("--only", default="",
                        help="comma-separated subset: throughput,flow_throughput,echo,ping,"
                             "startup,idle,paste,flood,micro")
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
    med = statistics.median
    log = lambda text: print(f"... {text}", file=sys.stderr, flush=True)

    if want("throughput"):
        data_file = ensure_data_file(size_mb)
        log(f"throughput, Python consumer: {reps} x {size_mb} MB each")
        results = alternate(reps, throughput(tools, data_file, "python"))
        table.add(f"output throughput, MB/s (cat of {size_mb} MB, consumer decodes in Python)",
                  med(x["mbps"] for x in results["broker"]), med(x["mbps"] for x in results["raw"]))
        log(f"throughput, C++ consumer: {reps} x {size_mb} MB each")
        results = alternate(reps, throughput(tools, data_file, "sink"))
        b, r = results["broker"], results["raw"]
        table.add(f"output throughput, MB/s (cat of {size_mb} MB, consumer decodes in C++)",
                  med(x["mbps"] for x in b), med(x["mbps"] for x in r))
        table.add("CPU seconds of the relay per 100 MB", med(x["cpu"] for x in b),
                  med(x["cpu"] for x in r), "{:.3f}")
        table.add("peak RSS (VmHWM) during throughput, MiB", max(x["hwm"] for x in b),
                  max(x["hwm"] for x in r), "{:.2f}")

    if want("flow_throughput"):
        data_file = ensure_data_file(size_mb)
        log(f"throughput with a {WINDOW // 1024} KiB flow window and acks: {reps} x {size_mb} MB")
        kinds = ("flow", "flow-big", "broker", "raw")
        results = alternate(reps, throughput(tools, data_file, "sink"), kinds)
        f, f4, b, r = (med(x["mbps"] for x in results[k]) for k in kinds)
        table.add(f"output throughput, MB/s (cat of {size_mb} MB, C++ consumer), "
                  f"flow window {WINDOW // 1024} KiB, acks after each read", f, r)
        table.add(f"the same, flow window {4 * WINDOW // 1024} KiB", f4, r)
        table.add("the same without flow control (all three run alternately)", b, r)
        table.add(f"flow window {WINDOW // 1024} KiB / no flow control, throughput ratio", f / b,
                  None, "{:.2f}", ratio=False)

    if want("echo"):
        log("keystroke echo latency")
        results = alternate(2, echo_latency(tools, 50 if quick else 150))
        b, r = sum(results["broker"], []), sum(results["raw"], [])
        table.add(f"echo latency p50, us ({len(b)} keys, 10 ms apart)", percentile(b, 50),
                  percentile(r, 50), "{:.0f}")
        table.add("echo latency p99, us", percentile(b, 99), percentile(r, 99), "{:.0f}")
        table.add("echo latency p50 difference, us", percentile(b, 50) - percentile(r, 50),
                  None, "{:.0f}", ratio=False)

    if want("ping"):
        log("ping round trip")
        samples = ping_rtt(tools, 50 if quick else 300)
        table.add(f"idle ping round trip median, us ({len(samples)} pings)", med(samples), None,
                  "{:.0f}")
        table.add("idle ping round trip p99, us", percentile(samples, 99), None, "{:.0f}")

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

    if want("micro"):
        log("micro-benchmarks")
        micro = subprocess.run([tools.micro, "--benchmark_repetitions=3",
                                "--benchmark_report_aggregates_only=true"],
                               capture_output=True, text=True, check=True)

    print(f"Machine: {machine()}\n")
    print(table.render())
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
