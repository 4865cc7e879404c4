"""Turns the terminal's echo off after a second, then waits."""
import termios
import time

print("READY", flush=True)
time.sleep(1)
attributes = termios.tcgetattr(0)
attributes[3] &= ~termios.ECHO
termios.tcsetattr(0, termios.TCSANOW, attributes)
time.sleep(10)
