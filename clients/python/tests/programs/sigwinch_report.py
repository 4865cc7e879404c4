"""Prints the terminal's size each time it changes."""
import fcntl
import signal
import struct
import sys
import termios


def report(*_):
    rows, cols = struct.unpack("hhhh", fcntl.ioctl(0, termios.TIOCGWINSZ, b"\0" * 8))[:2]
    print(f"SIGWINCH: ({rows}, {cols})", flush=True)


signal.signal(signal.SIGWINCH, report)
print("READY", flush=True)
while True:
    signal.pause()
