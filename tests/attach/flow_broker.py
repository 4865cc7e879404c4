#!/usr/bin/env python3
"""A stand-in broker that insists on flow control.

It confirms the window the client asks for in its connect, then writes
terminal output only while the bytes not yet acknowledged are under the
window, and ends with a closed line (exit code 5). A client that does not
acknowledge never sees the end; one that acknowledges a data event not yet
sent ends the run without a closed line.
"""
import base64
import json
import sys

CHUNK = b"." * 4096


def event(**members):
    sys.stdout.write(json.dumps(members, sort_keys=True, separators=(",", ":")) + "\n")
    sys.stdout.flush()


def next_ack():
    for line in sys.stdin:
        message = json.loads(line)
        if message.get("method") == "terminal.ack":
            return message["params"]["seq"]
    sys.exit(3)  # the client went away


connect = json.loads(sys.stdin.readline())
window = connect["params"]["flow_window"]
event(type="ready", cwd="/", pid=0, shell=["sh"], ts=0)
event(type="flow_control", window=window)

sizes = {}  # seq -> bytes, for data events not yet acknowledged
seq = 0
for _ in range(4 * window // len(CHUNK)):
    while sum(sizes.values()) >= window:
        acked = next_ack()
        if acked > seq:
            sys.exit(4)
        sizes = {s: n for s, n in sizes.items() if s > acked}
    seq += 1
    sizes[seq] = len(CHUNK)
    event(type="data", seq=seq, ts=0, data_b64=base64.b64encode(CHUNK).decode())
seq += 1
event(type="data", seq=seq, ts=0, data_b64=base64.b64encode(b"done\r\n").decode())
event(type="closed", exit_code=5, reason="exited", seq=seq + 1, ts=0)
