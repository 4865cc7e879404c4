"""The tests drive the real broker: TERMINAL_STREAM_BROKER names it, default the release build's."""

import os
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[3]
BROKER = Path(os.environ.get("TERMINAL_STREAM_BROKER") or ROOT / "build/release/terminal-stream-broker").resolve()
# The client finds the broker through this process's environment, as a program would.
os.environ["TERMINAL_STREAM_BROKER"] = str(BROKER)
sys.path.insert(0, str(Path(__file__).resolve().parents[1]))

PROGRAMS = Path(__file__).resolve().parent / "programs"
PYTHON = sys.executable


def program(name: str, *args: str) -> str:
    """The command line that runs one of the test programs."""
    return " ".join([PYTHON, str(PROGRAMS / name), *args])


def pytest_configure(config: pytest.Config) -> None:
    config.addinivalue_line("markers", "fails_on(side, reason, strict=True): a case one side cannot pass by design")
    if not os.access(BROKER, os.X_OK):
        raise pytest.UsageError(f"no broker binary at {BROKER}: build it, or set TERMINAL_STREAM_BROKER")
