"""pexpect's public test cases about a spawned terminal, run against pexpect and against this client.

Each case is written once and runs twice: with ``pexpect`` itself (Debian's
python3-pexpect) and with ``terminal_stream.sync`` (the asyncio cases with
``terminal_stream.spawn``). A case that one of them cannot pass by design is
marked xfail for it, strictly, with the reason; the README gives the counts.
"""

from __future__ import annotations

import asyncio
import gc
import os
import re
import subprocess
import tempfile
from typing import Any

import pexpect
import pytest
from conftest import PYTHON, program

import terminal_stream
import terminal_stream.sync

# The lines typed come back in the order pexpect's sleep before every send
# gives: each echoed and answered before the next is typed. Typed without
# the sleeps, every echo may come before the first answer.
PACED_BY_SLEEPS = "relies on the 50 ms sleep pexpect makes before every send"
NO_PTY_MODES = "the PTY and its modes live in the broker; setecho/waitnoecho are not offered"


class Implementation:
    """One side of the comparison: its module, and how each case spawns."""

    def __init__(self, name: str) -> None:
        self.name = name
        self.module: Any = pexpect if name == "pexpect" else terminal_stream.sync
        self.spawned: list[Any] = []

    def spawn(self, command: str, **options: Any) -> Any:
        child = self.module.spawn(command, **options)
        self.spawned.append(child)
        return child

    def spawnu(self, command: str, **options: Any) -> Any:
        return self.spawn(command, encoding="utf-8", **options)

    async def aspawn(self, command: str, encoding: str | None = None) -> Any:
        """A terminal for asyncio: pexpect's spawn with async_=True, or the client's asyncio API."""
        if self.name == "pexpect":
            return PexpectAsync(self.spawn(command, encoding=encoding))
        return await terminal_stream.spawn(command, encoding=encoding)

    def close_all(self) -> None:
        for child in self.spawned:
            try:
                child.close(force=True)
            except Exception:  # noqa: BLE001 - a case may have ended it in any state
                pass


class PexpectAsync:
    """pexpect's asyncio calls under the client's names."""

    def __init__(self, child: Any) -> None:
        self.child = child

    def __getattr__(self, name: str) -> Any:
        return getattr(self.child, name)

    def expect(self, pattern: Any, timeout: Any = -1) -> Any:
        return self.child.expect(pattern, timeout=timeout, async_=True)

    def expect_exact(self, pattern: Any, timeout: Any = -1) -> Any:
        return self.child.expect_exact(pattern, timeout=timeout, async_=True)

    async def close(self) -> None:
        self.child.close()


@pytest.fixture(params=["pexpect", "client"])
def impl(request: pytest.FixtureRequest) -> Any:
    side = Implementation(request.param)
    for mark in request.node.iter_markers("fails_on"):
        if mark.args[0] == side.name:
            strict = mark.kwargs.get("strict", True)
            request.node.add_marker(pytest.mark.xfail(reason=mark.kwargs["reason"], strict=strict))
    yield side
    side.close_all()


fails_on = pytest.mark.fails_on


# ---- test_expect.py --------------------------------------------------------

def test_expect_basic(impl: Implementation) -> None:
    p = impl.spawn("cat")
    for line in ("Hello", "there", "Mr. Python"):
        p.sendline(line)
    for line in ("Hello", "there", "Mr. Python"):
        p.expect(line)
    p.sendeof()
    p.expect(impl.module.EOF)


def test_expect_exact_basic(impl: Implementation) -> None:
    p = impl.spawn("cat")
    for line in ("Hello", "there", "Mr. Python"):
        p.sendline(line)
    for line in ("Hello", "there", "Mr. Python"):
        p.expect_exact(line)
    p.sendeof()
    p.expect_exact(impl.module.EOF)


def test_expect_ignore_case(impl: Implementation) -> None:
    p = impl.spawn("cat")
    p.sendline("HELLO")
    p.sendline("there")
    p.expect("(?i)hello")
    p.expect("(?i)THERE")
    p.sendeof()
    p.expect(impl.module.EOF)


def test_expect_ignore_case_flag(impl: Implementation) -> None:
    p = impl.spawn("cat")
    p.ignorecase = True
    p.sendline("HELLO")
    p.sendline("there")
    p.expect("hello")
    p.expect("THERE")
    p.sendeof()
    p.expect(impl.module.EOF)


@fails_on("client", reason=PACED_BY_SLEEPS, strict=False)
@pytest.mark.parametrize("exact", [False, True])
def test_expect_order(impl: Implementation, exact: bool) -> None:
    p = impl.spawn("cat")
    expect = p.expect_exact if exact else p.expect
    EOF, TIMEOUT = impl.module.EOF, impl.module.TIMEOUT
    for line in ("1234", "abcd", "wxyz", "7890"):
        p.sendline(line)
    p.sendeof()
    # Typed lines come back twice: the terminal's echo, then cat's.
    assert expect(["1234", "abcd", "wxyz", EOF, "7890"]) == 0
    assert expect(["1234", "abcd", "wxyz", EOF, "7890"]) == 0
    assert expect([EOF, TIMEOUT, "wxyz", "abcd", "1234"]) == 3
    assert expect(["54321", TIMEOUT, "1234", "abcd", "wxyz", EOF], timeout=5) == 3
    assert expect(["54321", TIMEOUT, "1234", "abcd", "wxyz", EOF], timeout=5) == 4
    assert expect(["54321", TIMEOUT, "1234", "abcd", "wxyz", EOF], timeout=5) == 4
    assert expect([EOF, "abcd", "wxyz", "7890"]) == 3
    assert expect([EOF, "abcd", "wxyz", "7890"]) == 3


@fails_on("client", reason=NO_PTY_MODES)
@pytest.mark.parametrize("exact", [False, True])
def test_expect_echo(impl: Implementation, exact: bool) -> None:
    p = impl.spawn("cat", timeout=10)
    expect = p.expect_exact if exact else p.expect
    EOF, TIMEOUT = impl.module.EOF, impl.module.TIMEOUT
    p.sendline("1234")
    assert expect(["1234", "abcd", "wxyz", EOF, TIMEOUT]) == 0
    assert expect(["1234", "abcd", "wxyz", EOF]) == 0
    p.setecho(False)
    p.sendline("abcd")
    p.sendline("wxyz")
    assert expect([EOF, TIMEOUT, "abcd", "wxyz", "1234"]) == 2
    assert expect([EOF, "abcd", "wxyz", "7890"]) == 2


@pytest.mark.parametrize("exact", [False, True])
def test_expect_index(impl: Implementation, exact: bool) -> None:
    # pexpect turns the echo off first; without setecho, `stty -echo` does.
    p = impl.spawn("sh -c 'stty -echo; echo READY; exec cat'")
    p.expect("READY\r\n")
    expect = p.expect_exact if exact else p.expect
    EOF, TIMEOUT = impl.module.EOF, impl.module.TIMEOUT
    p.sendline("1234")
    assert expect(["abcd", "wxyz", "1234", EOF]) == 2
    p.sendline("abcd")
    assert expect([TIMEOUT, "abcd", "wxyz", "1234", EOF]) == 1
    p.sendline("wxyz")
    assert expect(["54321", TIMEOUT, "abcd", "wxyz", "1234", EOF], timeout=5) == 3
    p.sendline("$*!@?")
    assert expect(["54321", TIMEOUT, "abcd", "wxyz", "1234", EOF], timeout=1) == 1
    p.sendeof()
    assert expect(["54321", TIMEOUT, "abcd", "wxyz", "1234", EOF], timeout=5) == 5


@pytest.mark.parametrize("exact", [False, True])
def test_expect_collects_output(impl: Implementation, exact: bool) -> None:
    # -N: on a terminal ls quotes names otherwise, and aligns the columns for it.
    the_old_way = subprocess.run(["ls", "-lN", "/bin/"], capture_output=True, text=True, check=True).stdout
    p = impl.spawn("ls -lN /bin/", encoding="utf-8")
    expect = p.expect_exact if exact else p.expect
    the_new_way = ""
    while expect(["\n", impl.module.EOF]) == 0:
        the_new_way += p.before.replace("\r", "") + "\n"
    assert the_new_way == the_old_way


def test_expect_exact_before_after(impl: Implementation) -> None:
    p = impl.spawn("echo hello.?world")
    p.expect_exact(".?")
    assert (p.before, p.after) == (b"hello", b".?")


def test_expect_eof(impl: Implementation) -> None:
    the_old_way = subprocess.run(["/bin/ls", "-lN", "/bin/"], capture_output=True, check=True).stdout
    p = impl.spawn("/bin/ls -lN /bin/")
    p.expect(impl.module.EOF)
    assert p.before.replace(b"\r", b"") == the_old_way


def test_expect_timeout(impl: Implementation) -> None:
    p = impl.spawn("cat", timeout=1)
    p.expect(impl.module.TIMEOUT)
    assert p.after == impl.module.TIMEOUT


def test_unexpected_eof(impl: Implementation) -> None:
    p = impl.spawn("ls -l /bin/")
    with pytest.raises(impl.module.EOF):
        p.expect("_Z_XY_XZ")


@pytest.mark.parametrize("exact", [False, True])
def test_before_after(impl: Implementation, exact: bool) -> None:
    p = impl.spawn(f"{PYTHON} -i", encoding="utf-8", timeout=5)
    expect = p.expect_exact if exact else p.expect
    expect(">>> ")
    assert p.after == ">>> "
    assert p.before.startswith("Python ")
    p.sendline("list(range(4*3))")
    expect("5")
    assert p.after == "5"
    assert p.before.startswith("list(range(4*3))")
    expect(">>> ")
    assert p.after == ">>> "
    assert p.before.startswith(", 6, 7, 8")


@pytest.mark.parametrize("exact", [False, True])
def test_ordering(impl: Implementation, exact: bool) -> None:
    p = impl.spawn(f"{PYTHON} -i", encoding="utf-8", timeout=5)
    expect = p.expect_exact if exact else p.expect
    expect(">>> ")
    for expression, patterns, index in [("range(4*3)", ["5,", "5,"], 0), ("range(4*3)", ["7,", "5,"], 1),
                                        ("range(4*3)", ["5,", "7,"], 0), ("range(4*5)", ["2,", "12,"], 0),
                                        ("range(4*5)", ["12,", "2,"], 1)]:
        p.sendline(f"list({expression})")
        assert expect(patterns) == index
        expect(">>> ")


@pytest.mark.parametrize("exact", [False, True])
def test_greed(impl: Implementation, exact: bool) -> None:
    p = impl.spawn(f"{PYTHON} -i", encoding="utf-8", timeout=5)
    expect = p.expect_exact if exact else p.expect
    expect(">>> ")
    # "foo\r\n" and "bar\r\n" come as two reads, 0.2 s apart.
    foo_then_bar = "import time; print('f'+'o'+'o'); time.sleep(0.2); print('b'+'a'+'r')"
    for patterns, index in [(["foo\r\nbar"], 0), (["\r\nbar"], 0), (["foo\r\nbar", "foo", "bar"], 1),
                            (["foo", "foo\r\nbar", "foo", "bar"], 0), (["bar", "foo\r\nbar"], 1),
                            (["oo\r\nba", "o\r\nb"], 0), (["foo\r\nbar", "ar"], 0), (["ar", "foo\r\nbar"], 1)]:
        p.sendline(foo_then_bar)
        assert expect(patterns) == index, patterns
        expect(">>> ")


@fails_on("client", reason=NO_PTY_MODES)
def test_waitnoecho(impl: Implementation) -> None:
    p = impl.spawn(program("echo_wait.py"))
    p.expect("READY")
    assert p.waitnoecho(timeout=10) is True


# ---- test_ctrl_chars.py ----------------------------------------------------

def number_line(number: int) -> re.Pattern[bytes]:
    return re.compile(rb"(\b%d)(\s+)" % number)


def test_control_chars(impl: Implementation) -> None:
    child = impl.spawn(program("getch.py"))
    child.expect("READY", timeout=5)
    for code in range(1, 256):
        child.send(bytes([code]))
        child.expect(number_line(code))
    child.send(b"\0")
    child.expect(number_line(0))
    child.expect(impl.module.EOF)


@pytest.mark.parametrize("call, code", [("sendintr", 3), ("sendeof", 4)])
def test_sendintr_sendeof(impl: Implementation, call: str, code: int) -> None:
    child = impl.spawn(program("getch.py"))
    child.expect("READY", timeout=5)
    getattr(child, call)()
    child.expect(number_line(code))


def test_bad_sendcontrol_chars(impl: Implementation) -> None:
    child = impl.spawn(program("getch.py"))
    assert child.sendcontrol("1") == 0


def test_sendcontrol(impl: Implementation) -> None:
    child = impl.spawn(program("getch.py"))
    child.expect("READY", timeout=5)
    for char in "abcdefghijklmnopqrstuvwxyz":
        assert child.sendcontrol(char) == 1
        child.expect(number_line(ord(char) - ord("a") + 1), timeout=2)
    for char, code in [("[", 27), ("\\", 28), ("]", 29), ("^", 30), ("_", 31), ("?", 127), ("@", 0)]:
        assert child.sendcontrol(char) == 1
        child.expect(number_line(code))
    child.expect(impl.module.EOF)
    assert child.isalive() is False
    assert child.exitstatus == 0


# ---- test_isalive.py -------------------------------------------------------

def test_expect_wait(impl: Implementation) -> None:
    p = impl.spawn("sleep 1")
    assert p.isalive()
    assert p.wait() == 0
    assert not p.isalive()
    p = impl.spawn("sleep 3")
    assert p.isalive()
    p.kill(9)
    p.expect(impl.module.EOF)
    # Waiting for an ended process gives its status (pexpect 4.8, ptyprocess 0.7).
    p.wait()
    assert (p.exitstatus, p.signalstatus) == (None, 9)


def test_isalive_dead_after_normal_termination(impl: Implementation) -> None:
    p = impl.spawn("ls")
    p.expect(impl.module.EOF)
    assert not p.isalive()


def test_isalive_dead_after_terminate(impl: Implementation) -> None:
    p = impl.spawn("cat", timeout=5)
    assert p.isalive()
    p.terminate()
    p.expect(impl.module.EOF)
    assert not p.isalive()


def test_isalive_dead_after_sigkill(impl: Implementation) -> None:
    p = impl.spawn("cat", timeout=5)
    assert p.isalive()
    p.kill(9)
    p.expect(impl.module.EOF)
    assert not p.isalive()


def test_isalive_consistent_multiple_calls(impl: Implementation) -> None:
    p = impl.spawn("cat")
    assert p.isalive() and p.isalive()
    p.kill(9)
    p.expect(impl.module.EOF)
    assert not p.isalive() and not p.isalive()


# ---- test_unicode.py -------------------------------------------------------

@pytest.mark.parametrize("exact", [False, True])
def test_unicode_expect_basic(impl: Implementation, exact: bool) -> None:
    p = impl.spawnu("cat")
    expect = p.expect_exact if exact else p.expect
    for line in ("Hello", "there", "Mr. þython"):
        p.sendline(line)
    for line in ("Hello", "there", "Mr. þython"):
        expect(line)
    p.sendeof()
    expect(impl.module.EOF)


@fails_on("client", reason=NO_PTY_MODES)
def test_unicode_expect_echo(impl: Implementation) -> None:
    p = impl.spawnu("cat", timeout=10)
    p.sendline("1234")
    p.expect("1234")
    p.setecho(False)
    p.sendline("abcdé")
    assert p.expect([impl.module.EOF, impl.module.TIMEOUT, "abcdé"]) == 2


def test_log_unicode(impl: Implementation) -> None:
    msg = "abcΩ÷"
    with tempfile.TemporaryDirectory() as directory:
        sent_name, read_name = os.path.join(directory, "send"), os.path.join(directory, "read")
        p = impl.spawnu("cat")
        with open(sent_name, "w", encoding="utf-8") as sent, open(read_name, "w", encoding="utf-8") as read:
            p.logfile_send = sent
            p.logfile_read = read
            p.sendline(msg)
            p.sendeof()
            p.expect(impl.module.EOF)
            p.close()
        with open(sent_name, encoding="utf-8") as sent:
            assert sent.read() == msg + "\n\x04"
        with open(read_name, encoding="utf-8", newline="") as read:
            assert read.read().replace("^D\x08\x08", "") == (msg + "\r\n") * 2


def test_spawn_expect_ascii_unicode(impl: Implementation) -> None:
    p = impl.spawn("cat")
    p.sendline("Camelot")
    p.expect("Camelot")
    p.sendline("Aargh")
    p.expect_exact("Aargh")
    p.sendeof()
    p.expect(impl.module.EOF)


def test_spawn_send_unicode(impl: Implementation) -> None:
    p = impl.spawn("cat")
    p.sendline("3½")
    p.sendeof()
    p.expect(impl.module.EOF)


# ---- test_winsize.py, test_env.py, test_missing_command.py ------------------

def test_winsize(impl: Implementation) -> None:
    p = impl.spawn(program("sigwinch_report.py"))
    p.expect("READY")
    report = rb"SIGWINCH: \(([0-9]*), ([0-9]*)\)"
    for rows, cols in [(11, 22), (24, 80)]:
        p.setwinsize(rows, cols)
        assert p.expect([impl.module.TIMEOUT, report], timeout=10) == 1
        assert (p.match.group(1), p.match.group(2)) == (str(rows).encode(), str(cols).encode())


def test_spawn_uses_env(impl: Implementation, tmp_path: Any) -> None:
    script = tmp_path / "spawn_uses_env.sh"
    script.write_text('#!/bin/sh\necho "$PEXPECT_TEST_KEY"\n')
    script.chmod(0o755)
    child = impl.spawn(str(script), env={"PEXPECT_TEST_KEY": "pexpect test value"})
    out = child.readline()
    child.expect(impl.module.EOF)
    # pexpect may see the end of output before the child has exited: close() waits.
    child.close()
    assert child.exitstatus == 0
    assert out.rstrip() == b"pexpect test value"


@pytest.fixture
def example_script(tmp_path: Any) -> Any:
    """Writes a shell script that echoes `output`, as pexpect's test_env does; returns its directory."""
    def write(name: str, output: str = "success", directory: str = "bin") -> str:
        folder = tmp_path / directory
        folder.mkdir(exist_ok=True)
        script = folder / name
        script.write_text(f'#!/bin/sh\necho "{output}"\n')
        script.chmod(0o755)
        return str(folder)
    return write


def test_run_uses_env(impl: Implementation, example_script: Any) -> None:
    folder = example_script("run_uses_env.sh", "$PEXPECT_TEST_KEY")
    out = impl.module.run(os.path.join(folder, "run_uses_env.sh"), env={"PEXPECT_TEST_KEY": "pexpect test value"})
    assert out.rstrip() == b"pexpect test value"


def test_run_uses_env_path(impl: Implementation, example_script: Any) -> None:
    folder = example_script("run_uses_env_path.sh")
    assert impl.module.run("run_uses_env_path.sh", env={"PATH": folder}).rstrip() == b"success"


def test_run_uses_env_path_over_path(impl: Implementation, example_script: Any,
                                     monkeypatch: pytest.MonkeyPatch) -> None:
    wrong = example_script("run_uses_env_path_over_path.sh", "failure", "wrong")
    right = example_script("run_uses_env_path_over_path.sh", "success", "right")
    monkeypatch.setenv("PATH", wrong)
    assert impl.module.run("run_uses_env_path_over_path.sh", env={"PATH": right}).rstrip() == b"success"


def test_missing_command(impl: Implementation) -> None:
    with pytest.raises(impl.module.ExceptionPexpect):
        impl.spawn("ZXQYQZX")


# ---- test_destructor.py ----------------------------------------------------

def test_destructor(impl: Implementation) -> None:
    def open_descriptors() -> int:
        return len(os.listdir("/proc/self/fd"))

    counts = []
    for _ in range(3):
        children = [impl.module.spawn(program("hello_world.py")) for _ in range(4)]
        for child in children:
            child.expect(impl.module.EOF)
        del child, children
        gc.collect()
        counts.append(open_descriptors())
    assert counts[0] == counts[1] == counts[2], counts


# ---- test_async.py ---------------------------------------------------------

def test_async_simple_expect(impl: Implementation) -> None:
    async def case() -> None:
        p = await impl.aspawn("cat")
        p.sendline("Hello asyncio")
        assert await p.expect(["Hello", impl.module.EOF]) == 0
        await p.close()
    asyncio.run(case())


def test_async_timeout(impl: Implementation) -> None:
    async def case() -> None:
        p = await impl.aspawn("cat")
        with pytest.raises(impl.module.TIMEOUT):
            await p.expect("foo", timeout=1)
        assert await p.expect(["foo", impl.module.TIMEOUT], timeout=1) == 1
        await p.close()
    asyncio.run(case())


def test_async_eof(impl: Implementation) -> None:
    async def case() -> None:
        p = await impl.aspawn("cat")
        p.sendline("Hi")
        p.sendeof()
        assert await p.expect(impl.module.EOF) == 0
        p = await impl.aspawn("cat")
        p.sendeof()
        with pytest.raises(impl.module.EOF):
            await p.expect("Blah")
        await p.close()
    asyncio.run(case())


@pytest.mark.parametrize("encoding", [None, "utf8"])
def test_async_expect_exact(impl: Implementation, encoding: str | None) -> None:
    async def case() -> None:
        p = await impl.aspawn(program("list100.py"), encoding=encoding)
        assert await p.expect_exact(b"5" if encoding is None else "5") == 0
        assert await p.expect_exact(["wpeok", b"11" if encoding is None else "11"]) == 1
        assert await p.expect_exact(["foo", impl.module.EOF]) == 1
        await p.close()
    asyncio.run(case())


def test_async_and_gc(impl: Implementation) -> None:
    async def case() -> None:
        p = await impl.aspawn(program("sleep_for.py", "1"), encoding="utf8")
        assert await p.expect_exact("READY") == 0
        gc.collect()
        assert await p.expect_exact("END") == 0
        await p.close()
    asyncio.run(case())


@fails_on("client", reason="one terminal is either asyncio's (terminal_stream.spawn) or synchronous (.sync)")
def test_async_and_sync(impl: Implementation) -> None:
    async def case() -> None:
        p = impl.spawn("echo 1234", encoding="utf8", maxread=1)
        assert await p.expect_exact("1", async_=True) == 0
        assert p.expect_exact("2") == 0
        assert await p.expect_exact("3", async_=True) == 0
    asyncio.run(case())
