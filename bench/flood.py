"""The flood figure: how long ^C takes to reach the screen of a peer that
renders slower than the terminal produces.

The shell runs `yes` until ^C, then prints a marker (the "prompt"). The
consumer renders at a fixed rate (RATE bytes per second of terminal output,
a browser terminal's speed): it holds what it has read in a queue and
consumes it on a virtual clock, one data event after another, each taking
len/RATE seconds, so rendering costs no CPU and the clock stays exact while
the loop reads. It runs three ways:

  eager       reads stdout as fast as it comes, into an unbounded queue
  watermark   stops reading stdout while the queue holds WATERMARK bytes or
              more (the broker is left with pipe backpressure)
  window      reads eagerly, turns on the broker's flow-control window
              (WINDOW bytes) and acknowledges the seq of the last data event
              it has consumed

For each it reports the time from writing ^C to consuming the marker, the
terminal bytes consumed in between, and the most terminal bytes it held
(read but not yet consumed).
"""

import base64
import collections
import json
import os
import select
import subprocess
import sys
import tempfile
import time

RATE = 10e6
WATERMARK = 512 * 1000
WINDOW = 262144
BROKER_READ_MAX = 65536  # the most one read of the terminal adds past the window
FLOOD_SECONDS = 2.0
MARK = b"PROMPT-MARK"
# The shell ignores SIGINT and `yes` gets it back, so ^C ends only `yes`;
# the marker then proves that everything before it has been consumed.
# `read go` holds the flood until the consumer is set up. Output processing
# is off (-opost): the line discipline's newline translation would hold
# `yes` to about the rendering rate on a small machine, and the figure is
# about a terminal that produces much faster than its peer renders.
SHELL = ["sh", "-c", "stty -echo -opost; read go; trap '' INT; (trap - INT; exec yes); "
         "echo " + MARK.decode() + "; exec cat >/dev/null"]
MODES = ("eager", "watermark", "window")
DATA_PREFIX = b'{"data_b64":"'


class Consumer:
    def __init__(self, broker, mode):
        self.mode = mode
        self.errors = tempfile.TemporaryFile()
        env = dict(os.environ)
        env.pop("TERMINAL_STREAM_SHELL_CMD_JSON", None)
        self.proc = subprocess.Popen([broker, "--", *SHELL], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=self.errors,
                                     bufsize=0, env=env)
        self.out = self.proc.stdout.fileno()
        self.pending = b""
        self.events = []  # non-data events, parsed
        self.seq = 0  # last data event read
        self.eof = False
        self.queue = collections.deque()  # (seq, terminal bytes) read, not consumed
        self.held = 0  # terminal bytes in the queue and in the event being rendered
        self.peak = 0
        self.rendering = None  # (seq, terminal bytes) being consumed until busy_until
        self.busy_until = 0.0
        self.consumed = 0
        self.consumed_seq = 0
        self.acked = 0
        self.flow_on = False
        self.tail = b""  # last bytes consumed, to find a marker split across events
        self.marker_at = None  # virtual time the marker was consumed
        self.consumed_at_marker = 0

    # --- writing to the broker ---------------------------------------------
    def command(self, method, params):
        line = json.dumps({"jsonrpc": "2.0", "method": method, "params": params})
        payload = (line + "\n").encode()
        while payload:
            payload = payload[os.write(self.proc.stdin.fileno(), payload):]

    def type_keys(self, data):
        self.command("terminal.input", {"data_b64": base64.b64encode(data).decode()})

    # --- reading -----------------------------------------------------------
    def _decode(self, chunk):
        lines = (self.pending + chunk).split(b"\n")
        self.pending = lines.pop()
        for line in lines:
            if not line.startswith(DATA_PREFIX):
                event = json.loads(line)
                self.events.append(event)
                if event.get("type") == "flow_control":
                    self.flow_on = event.get("window", 0) > 0
                continue
            end = line.index(b'"', len(DATA_PREFIX))
            data = base64.b64decode(line[len(DATA_PREFIX):end], validate=True)
            seq = int(line[line.index(b'"seq":', end) + 6:].split(b",", 1)[0])
            if seq != self.seq + 1:
                raise RuntimeError(f"data event seq {seq} after {self.seq}")
            self.seq = seq
            self.queue.append((seq, data))
            self.held += len(data)
        self.peak = max(self.peak, self.held)

    def _reading(self):
        if self.eof:
            return False
        return self.mode != "watermark" or self.held < WATERMARK

    # --- rendering ---------------------------------------------------------
    def _render(self, now):
        """Consumes every event whose render time has passed, starts the
        next, and acknowledges what has been consumed."""
        while self.rendering and now >= self.busy_until:
            self._consume(*self.rendering)
            self.rendering = None
            if self.queue:  # rendered back to back
                self.rendering = self.queue.popleft()
                self.busy_until += len(self.rendering[1]) / RATE
        if not self.rendering and self.queue:  # the renderer was idle
            self.rendering = self.queue.popleft()
            self.busy_until = now + len(self.rendering[1]) / RATE
        if self.mode == "window" and self.flow_on and self.consumed_seq > self.acked:
            self.command("terminal.ack", {"seq": self.consumed_seq})
            self.acked = self.consumed_seq

    def _consume(self, seq, data):
        self.held -= len(data)
        self.consumed += len(data)
        self.consumed_seq = seq
        if self.marker_at is None and MARK in self.tail + data:
            self.marker_at = self.busy_until
            self.consumed_at_marker = self.consumed
        self.tail = (self.tail + data)[-len(MARK):]

    def consumed_by(self, moment):
        """Bytes consumed by `moment`, counting the rendered part of the
        event in progress (one event may be 64 KiB, 6.5 ms of rendering)."""
        if not self.rendering:
            return self.consumed
        left = max(0.0, self.busy_until - moment) * RATE
        return self.consumed + max(0, len(self.rendering[1]) - int(left))

    def step(self, limit=0.05):
        """One turn of the consumer: render, then read for at most `limit`
        seconds (less when a render finishes sooner)."""
        now = time.perf_counter()
        self._render(now)
        timeout = limit
        if self.rendering:
            timeout = max(0.0, min(limit, self.busy_until - now))
        ready, _, _ = select.select([self.out] if self._reading() else [], [], [], timeout)
        if ready:
            chunk = os.read(self.out, 65536)
            if chunk:
                self._decode(chunk)
            else:
                self.eof = True

    def wait_event(self, kind, timeout=10.0):
        deadline = time.perf_counter() + timeout
        while not any(event.get("type") == kind for event in self.events):
            if self.eof or time.perf_counter() > deadline:
                raise RuntimeError(f"no {kind} event from the broker")
            self.step()

    def finish(self):
        """Ends the session and reads to the end, without rendering."""
        self.proc.stdin.close()
        deadline = time.perf_counter() + 60
        while not self.eof:
            if time.perf_counter() > deadline:
                self.proc.kill()
                raise RuntimeError("the broker did not end")
            ready, _, _ = select.select([self.out], [], [], 0.5)
            if ready and not os.read(self.out, 1 << 20):
                self.eof = True
        self.proc.wait()
        self.proc.stdout.close()
        self.errors.seek(0)
        diagnostics = self.errors.read()
        self.errors.close()
        if diagnostics:
            print(f"broker stderr: {diagnostics[:500]!r}", file=sys.stderr)


def flood_run(broker, mode):
    """One run: `yes` for FLOOD_SECONDS, then ^C; the figures of the run."""
    consumer = Consumer(broker, mode)
    consumer.wait_event("ready")
    if mode == "window":
        consumer.command("terminal.connect", {"flow_window": WINDOW})
        consumer.wait_event("flow_control")
        if not consumer.flow_on:
            raise RuntimeError("the broker did not turn the window on")
    consumer.type_keys(b"go\n")
    end = time.perf_counter() + FLOOD_SECONDS
    while time.perf_counter() < end:
        consumer.step(end - time.perf_counter())
    read_in_flood = consumer.consumed + consumer.held
    consumer.type_keys(b"\x03")
    interrupted = time.perf_counter()
    consumed_before = consumer.consumed_by(interrupted)
    deadline = interrupted + 300
    while consumer.marker_at is None:
        if consumer.eof or time.perf_counter() > deadline:
            raise RuntimeError(f"{mode}: the marker never came")
        consumer.step()
    consumer.finish()
    return {"ms": (consumer.marker_at - interrupted) * 1e3,
            "after": consumer.consumed_at_marker - consumed_before,
            "peak": consumer.peak, "flood": read_in_flood}


def flood_figures(broker, reps, log):
    """Medians over `reps` runs of each mode, the modes alternating."""
    runs = {mode: [] for mode in MODES}
    for rep in range(reps):
        for mode in MODES:
            result = flood_run(broker, mode)
            runs[mode].append(result)
            log(f"flood {rep + 1}/{reps} {mode}: ^C to prompt {result['ms']:.0f} ms, "
                f"{result['after']} bytes after ^C, {result['peak']} held at most")
    return runs


def flood_table(runs):
    med = lambda values: sorted(values)[len(values) // 2]
    label = {
        "eager": "reads everything at once",
        "watermark": f"stops reading stdout at {WATERMARK // 1000} KB queued",
        "window": f"flow window {WINDOW // 1024} KiB, acks as it consumes",
    }
    out = ["| consumer (renders 10 MB/s) | ^C to prompt, ms | consumed after ^C, KB "
           "| most held, KB | read during the 2 s flood, MB |",
           "|---|---:|---:|---:|---:|"]
    for mode, results in runs.items():
        ms = [r["ms"] for r in results]
        out.append(f"| {label[mode]} | {med(ms):.0f} ({min(ms):.0f}-{max(ms):.0f}) "
                   f"| {med([r['after'] for r in results]) / 1000:.0f} "
                   f"| {max(r['peak'] for r in results) / 1000:.0f} "
                   f"| {med([r['flood'] for r in results]) / 1e6:.1f} |")
    return "\n".join(out)


def flood_goals(runs):
    """The issue's goals, stated against the figures (reported, not asserted)."""
    med = lambda values: sorted(values)[len(values) // 2]
    window_ms = med([r["ms"] for r in runs["window"]])
    window_limit = WINDOW / RATE * 1e3 + 50
    window_peak = max(r["peak"] for r in runs["window"])
    held_limit = WINDOW + BROKER_READ_MAX
    mark_ms = med([r["ms"] for r in runs["watermark"]])
    verdict = lambda ok: "met" if ok else "NOT met"
    return [
        f"window: ^C to prompt {window_ms:.0f} ms, goal <= {window_limit:.0f} ms "
        f"(one window at 10 MB/s + 50 ms): {verdict(window_ms <= window_limit)}",
        f"window: most held {window_peak} bytes, goal <= {held_limit} (window + one read): "
        f"{verdict(window_peak <= held_limit)}",
        f"watermark: ^C to prompt {mark_ms:.0f} ms, goal <= 81 ms: {verdict(mark_ms <= 81)}",
    ]
