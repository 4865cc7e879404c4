"""Prints the code of every byte typed, one per line, in raw mode; ends after a NUL."""
import os
import sys
import tty

tty.setraw(0)
os.write(1, b"READY\r\n")
while True:
    byte = os.read(0, 1)
    if not byte:
        break
    os.write(1, b"%d\r\n" % byte[0])
    if byte == b"\0":
        break
sys.exit(0)
