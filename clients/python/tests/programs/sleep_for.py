"""READY, a pause of argv[1] seconds, END."""
import sys
import time

print("READY", flush=True)
time.sleep(float(sys.argv[1]))
print("END", flush=True)
