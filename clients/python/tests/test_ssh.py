"""Shells on another machine: the client over `ssh -T` to a real sshd.

The sshd is the Node client's test harness (clients/node/test/ssh-host.js),
driven from here: it starts sshd as root in a network namespace of its own,
with keys made for the run and the broker installed from the build's Debian
package, prints how to reach it, and removes everything when its input ends.
"""

from __future__ import annotations

import asyncio
import json
import os
import shutil
import subprocess
from pathlib import Path
from typing import Any, Iterator

import pytest
from conftest import BROKER, ROOT

import terminal_stream
from terminal_stream import BrokerError

HARNESS = ROOT / "clients/node/test/ssh-host.js"
DRIVER = """
const { startSshHost } = require(process.argv[1]);
startSshHost({ brokerPath: process.argv[2] }).then((host) => {
  process.stdout.write(JSON.stringify({ launcher: host.launcher, fallback: host.fallback, dir: host.dir }) + '\\n');
  // Each line asks for the processes below the sshd (sessions, brokers, shells).
  require('readline').createInterface({ input: process.stdin })
    .on('line', () => process.stdout.write(JSON.stringify(host.farProcesses()) + '\\n'))
    .on('close', () => { host.stop(); process.exit(0); });
}, (error) => { console.error(error.message); process.exit(1); });
"""

pytestmark = pytest.mark.skipif(os.getuid() != 0, reason="the ssh tests start their own sshd, which needs root")


@pytest.fixture(scope="module")
def host() -> Iterator[dict[str, Any]]:
    if shutil.which("node") is None:
        pytest.fail("node is missing: scripts/install-js-deps.sh installs it (the sshd harness is the Node client's)")
    driver = subprocess.Popen(["node", "-e", DRIVER, str(HARNESS), str(BROKER)], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, text=True)
    try:
        line = driver.stdout.readline()  # type: ignore[union-attr]
        if not line:
            pytest.fail(f"the sshd harness did not start (status {driver.wait()})")
        found = json.loads(line)
        if found.get("fallback"):
            print(f"# {found['fallback']}")
        found["driver"] = driver
        yield found
    finally:
        driver.stdin.close()  # type: ignore[union-attr]
        driver.wait(timeout=60)


def far_processes(host: dict[str, Any]) -> list[dict[str, Any]]:
    """The processes below this run's sshd: sessions, brokers and shells on the far side."""
    driver = host["driver"]
    driver.stdin.write("far\n")
    driver.stdin.flush()
    return json.loads(driver.stdout.readline())  # type: ignore[no-any-return]


async def far_side_empties(host: dict[str, Any], deadline: float = 20) -> None:
    # Nothing here tells of the far side's end: look, a tenth of a second apart.
    loop = asyncio.get_running_loop()
    give_up = loop.time() + deadline
    while (left := far_processes(host)) and loop.time() < give_up:
        await asyncio.sleep(0.1)
    assert not left, f"still on the far side: {left}"


def run(case: Any) -> None:
    async def bounded() -> None:
        async with asyncio.timeout(60):
            await case()
    asyncio.run(bounded())


def test_over_ssh_echo_size_and_exit_status(host: dict[str, Any]) -> None:
    async def case() -> None:
        term = await terminal_stream.spawn("sh", args=["-i"], launcher=host["launcher"], launcher_shell=True,
                                           cols=90, rows=30)
        term.sendline('echo hel""lo; stty size')
        await term.expect(r"(^|\s)hello\r\n")
        await term.expect_exact("30 90\r\n")
        term.resize(123, 41)
        term.sendline("stty size")
        await term.expect_exact("41 123\r\n")
        term.sendline("exit 7")
        assert await term.wait() == 7 and term.reason == "exited"
        await far_side_empties(host)
    run(case)


def test_a_killed_ssh_is_an_error_with_its_status_and_the_far_side_ends(host: dict[str, Any]) -> None:
    async def case() -> None:
        term = await terminal_stream.spawn("sh -i", launcher=host["launcher"], launcher_shell=True)
        term.sendline("echo far side")
        await term.expect_exact("far side\r\n")
        assert any(str(term.pid) == str(found["pid"]) for found in far_processes(host)), "the far shell runs"
        os.kill(term.broker_pid, 9)
        with pytest.raises(BrokerError, match="signal 9"):
            await term.expect("never printed", timeout=None)
        # sshd sees the connection go and ends the broker's input; the
        # broker's ladder ends the interactive shell.
        await far_side_empties(host)
    run(case)


def test_ssh_refusing_the_host_is_an_error_with_its_message(host: dict[str, Any]) -> None:
    launcher = [word.replace(word, "UserKnownHostsFile=/dev/null") if word.startswith("UserKnownHostsFile=")
                else word for word in host["launcher"]]

    async def case() -> None:
        with pytest.raises(BrokerError, match="Host key verification failed") as refused:
            await terminal_stream.spawn("sh", launcher=launcher, launcher_shell=True)
        assert refused.value.status == 255
    run(case)
