#!/usr/bin/env python3
"""A stand-in broker with output cut where a real one may cut it.

Its data events split a character across two events and end inside one,
and carry time stamps of its own choosing (START and the offsets below), so
that a recording's times and text can be checked exactly. It waits for a
resize between its events, and ends with a closed line (exit code 0).
"""
import base64
import json
import sys

START = 1700000000000
EVENTS = [(100, b"a\xe2\x82"), (1600, b"\xac b\r\n"), (1700, b"\xf0\x9f")]


def event(**members):
    sys.stdout.write(json.dumps(members, sort_keys=True, separators=(",", ":")) + "\n")
    sys.stdout.flush()


def wait_for(method):
    for line in sys.stdin:
        if json.loads(line).get("method") == method:
            return
    sys.exit(3)  # the client went away


wait_for("terminal.connect")
event(type="ready", cwd="/", pid=0, shell=["fake-sh", "-i"], ts=START)
for seq, (offset, data) in enumerate(EVENTS, 1):
    event(type="data", seq=seq, ts=START + offset, data_b64=base64.b64encode(data).decode())
    if seq == 2:
        wait_for("terminal.resize")
event(type="closed", exit_code=0, reason="exited", seq=len(EVENTS) + 1, ts=START + 1800)
