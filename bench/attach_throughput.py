#!/usr/bin/env python3
"""The attach client's output throughput against a plain shell, side by side.

`cat` of a file to a person's terminal, played by a PTY whose master is read
as fast as it goes (bench/attach_pty.py): straight on the terminal (plain
shell), through terminal-stream-attach and the broker, and optionally
through a second attach client (--compare, e.g. an older build) with the
same broker. Rounds alternate; medians and min-max in MB/s, and the CPU
time of the whole run (the client, the broker and cat, or cat alone) per
100 MB, which a busy machine disturbs less than the wall time. Read the
ratios, not the absolute figures: the machines are shared.

Usage: bench/attach_throughput.py [--build DIR] [--compare ATTACH] [--mb 50] [--rounds 7]
"""

import argparse
import os
import resource
import statistics
import sys

import attach_pty
from run import ensure_data_file

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


class Client:
    def __init__(self, attach, broker):
        self.attach, self.broker = attach, broker
        for path in (attach, broker):
            if not os.access(path, os.X_OK):
                sys.exit(f"missing {path}: build it first (the README's set-up command)")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=os.path.join(ROOT, "build", "release"))
    parser.add_argument("--compare", help="a second terminal-stream-attach, run with the same broker")
    parser.add_argument("--mb", type=int, default=50)
    parser.add_argument("--rounds", type=int, default=7)
    args = parser.parse_args()

    broker = os.path.join(args.build, "terminal-stream-broker")
    path = ensure_data_file(args.mb)
    this = attach_pty.throughput(Client(os.path.join(args.build, "terminal-stream-attach"), broker), path)
    runs = {"plain shell": lambda: this("plain"), "terminal-stream-attach": lambda: this("attach")}
    if args.compare:
        other = attach_pty.throughput(Client(args.compare, broker), path)
        runs[f"compared: {args.compare}"] = lambda: other("attach")

    rates = {name: [] for name in runs}
    cpu = {name: [] for name in runs}
    for _ in range(args.rounds):
        for name, measure in runs.items():
            # Every process of the run has been collected when measure()
            # returns, so its CPU time has reached this process's children.
            before = resource.getrusage(resource.RUSAGE_CHILDREN)
            rates[name].append(measure())
            after = resource.getrusage(resource.RUSAGE_CHILDREN)
            seconds = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
            cpu[name].append(seconds * 100 / args.mb)

    plain = statistics.median(rates["plain shell"])
    print(f"cat of {args.mb} MB to a PTY read as fast as it goes; {args.rounds} rounds alternating, medians")
    print()
    plain_cpu = statistics.median(cpu["plain shell"])
    print("| run | MB/s | min-max | / plain shell | CPU s per 100 MB | / plain shell |")
    print("|---|---:|---:|---:|---:|---:|")
    for name, values in rates.items():
        median, cpu_median = statistics.median(values), statistics.median(cpu[name])
        print(f"| {name} | {median:.1f} | {min(values):.1f}-{max(values):.1f} | {median / plain:.2f} "
              f"| {cpu_median:.2f} | {cpu_median / plain_cpu:.2f} |")


if __name__ == "__main__":
    main()
