"""The attach client on a person's terminal, played by the harness on a PTY
pair: the harness holds the master (the terminal emulator's side), the
program gets the slave as its standard streams.

  attach   terminal-stream-attach (which starts the broker) running COMMAND
  plain    COMMAND straight on the slave, as a shell on that terminal would

Throughput: COMMAND is `cat FILE`; the time from the start until every
byte has reached the master (each LF arrives as CR LF: the broker's
terminal translates it behind the attach client, the slave itself for the
plain run). Echo: COMMAND is raw_echo (raw mode, echoes each byte); one
byte every 20 ms, the time from writing it to the master until its echo is
read there.
"""

import fcntl
import os
import pty
import select
import struct
import subprocess
import termios
import time


def open_terminal():
    master, slave = pty.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 80, 0, 0))
    return master, slave


def start(tools, kind, command, slave):
    if kind == "attach":
        command = [tools.attach, "--broker", tools.broker, "--", *command]
    env = dict(os.environ)
    env.pop("TERMINAL_STREAM_SHELL_CMD_JSON", None)
    return subprocess.Popen(command, stdin=slave, stdout=slave, stderr=slave, env=env,
                            start_new_session=True, close_fds=True)


def finish(proc, master):
    """Ends the program, reading the master meanwhile so nothing blocks."""
    deadline = time.perf_counter() + 20
    while proc.poll() is None and time.perf_counter() < deadline:
        if select.select([master], [], [], 0.05)[0]:
            try:
                os.read(master, 1 << 16)
            except OSError:
                break
    if proc.poll() is None:
        proc.kill()
    proc.wait()
    os.close(master)


def throughput(tools, path):
    size = os.path.getsize(path)
    with open(path, "rb") as data:
        expected = size + data.read().count(b"\n")

    def measure(kind):
        master, slave = open_terminal()
        started = time.perf_counter()
        proc = start(tools, kind, ["cat", path], slave)
        os.close(slave)
        got = 0
        deadline = started + 120
        while got < expected:
            if time.perf_counter() > deadline:
                raise RuntimeError(f"{kind}: {got} of {expected} bytes came")
            if select.select([master], [], [], 1.0)[0]:
                got += len(os.read(master, 1 << 20))
        elapsed = time.perf_counter() - started
        finish(proc, master)
        return size / elapsed / 1e6

    return measure


def echo(tools, count, gap=0.020):
    def measure(kind):
        master, slave = open_terminal()
        proc = start(tools, kind, [tools.echo, "echo"], slave)
        os.close(slave)
        seen = b""
        deadline = time.perf_counter() + 10
        while not seen.endswith(b"R"):
            if time.perf_counter() > deadline:
                raise RuntimeError(f"{kind}: raw_echo did not start")
            if select.select([master], [], [], 0.5)[0]:
                seen += os.read(master, 4096)
        time.sleep(0.2)
        samples = []
        for i in range(count):
            key = bytes([ord("a") + i % 26])
            start_at = time.perf_counter()
            os.write(master, key)
            got = b""
            while key not in got:
                if not select.select([master], [], [], 5.0)[0]:
                    raise RuntimeError(f"{kind}: no echo")
                got += os.read(master, 4096)
            samples.append((time.perf_counter() - start_at) * 1e6)
            time.sleep(gap)
        os.write(master, b"\x04")  # raw mode: only the end of the program ends it
        proc.terminate()
        finish(proc, master)
        return samples

    return measure
