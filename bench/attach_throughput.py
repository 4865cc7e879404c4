#!/usr/bin/env python3
"""The attach client's output throughput against a plain shell, side by side.

A PTY plays the person's terminal: this script holds its master and reads it
as fast as it can, as a fast terminal emulator would. On its slave runs, in
turn, `sh -c 'cat FILE'` directly (the plain shell) and
`terminal-stream-attach -- sh -c 'cat FILE'` (the same command relayed
through the broker and the client). Rounds alternate; the figures are
medians, in MB/s of bytes read from the master over the run's wall time
(start-up included, which is a few milliseconds against a run of about a
second). Read the ratio, not the absolute figures: the machines are shared.

Usage: bench/attach_throughput.py [--attach PATH] [--mb 50] [--rounds 5]
                                  [--compare PATH]   (a second client to run alongside)
"""

import argparse
import fcntl
import os
import pty
import statistics
import sys
import tempfile
import termios
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def run_on_pty(argv, env):
    """Runs argv as a session leader on a new PTY; returns (bytes read, seconds)."""
    master, slave = pty.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, b"\x18\x00\x50\x00\x00\x00\x00\x00")  # 24 x 80
    start = time.monotonic()
    pid = os.fork()
    if pid == 0:
        try:
            os.setsid()
            fcntl.ioctl(slave, termios.TIOCSCTTY, 0)
            for fd in (0, 1, 2):
                os.dup2(slave, fd)
            os.closerange(3, 256)
            os.execvpe(argv[0], argv, env)
        finally:
            os._exit(127)
    os.close(slave)
    total = 0
    while True:
        try:
            chunk = os.read(master, 1 << 20)
        except OSError:  # EIO: every holder of the slave has gone
            break
        if not chunk:
            break
        total += len(chunk)
    os.waitpid(pid, 0)
    elapsed = time.monotonic() - start
    os.close(master)
    return total, elapsed


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--attach", default=os.path.join(ROOT, "build", "release", "terminal-stream-attach"))
    parser.add_argument("--compare", help="another terminal-stream-attach to measure in the same rounds")
    parser.add_argument("--mb", type=int, default=50)
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    clients = [("terminal-stream-attach", args.attach)]
    if args.compare:
        clients.append(("terminal-stream-attach (compared)", args.compare))
    for _, path in clients:
        if not os.access(path, os.X_OK):
            sys.exit(f"missing {path}: build it first (see the README's set-up command)")

    env = {k: v for k, v in os.environ.items() if not k.startswith("TERMINAL_STREAM_")}
    env["TERM"] = "xterm-256color"
    with tempfile.NamedTemporaryFile(prefix="attach-throughput-") as data:
        line = b"".join(bytes([32 + (i * 7) % 95]) for i in range(99)) + b"\n"
        data.write(line * (args.mb * 1_000_000 // len(line)))
        data.flush()
        command = ["sh", "-c", f"cat {data.name}"]
        kinds = [("plain shell", command)] + [(name, [path, "--"] + command) for name, path in clients]
        rates = {name: [] for name, _ in kinds}
        for _ in range(args.rounds):
            for name, argv in kinds:
                total, seconds = run_on_pty(argv, env)
                rates[name].append(total / seconds / 1e6)

    plain = statistics.median(rates["plain shell"])
    print(f"cat of {args.mb} MB to a PTY read as fast as possible, {args.rounds} rounds alternating, medians")
    print()
    print("| run | MB/s | min-max | / plain shell |")
    print("|---|---:|---:|---:|")
    for name, _ in kinds:
        median = statistics.median(rates[name])
        print(f"| {name} | {median:.1f} | {min(rates[name]):.1f}-{max(rates[name]):.1f} | {median / plain:.2f} |")


if __name__ == "__main__":
    main()
