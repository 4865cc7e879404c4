"""What to run: the broker (found here) or a launcher that runs it elsewhere."""

from __future__ import annotations

import os
import shlex
import shutil
from dataclasses import dataclass
from typing import Mapping, Sequence

from .errors import BrokerNotFound

DEFAULT_BROKER_NAME = "terminal-stream-broker"
DEFAULT_COLS = 80
DEFAULT_ROWS = 24
MAX_SIZE = 65535
# TERM when neither the environment nor the caller gives one.
DEFAULT_TERM = "xterm"

# They describe the terminal this process runs in, not the new one: dropped
# when the shell gets this process's own environment.
OUTER_TERMINAL_VARIABLES = ("TMUX", "TMUX_PANE", "STY", "WINDOW", "WINDOWID", "TERMCAP", "COLUMNS", "LINES")
# The broker reads its settings from these before the arguments after `--`:
# left in its environment they would replace the command, directory and size.
BROKER_VARIABLES = ("TERMINAL_STREAM_CWD", "TERMINAL_STREAM_COLS", "TERMINAL_STREAM_ROWS",
                    "TERMINAL_STREAM_SHELL_CMD_JSON")
# A size other than the broker's default must be in the broker's environment
# when the shell starts (a resize command comes too late for a program that
# reads its size as it starts); the shell is then run through `env -u` so
# that it does not inherit those variables.
ENV_PROGRAM = "/usr/bin/env"
SIZE_VARIABLES = ("TERMINAL_STREAM_COLS", "TERMINAL_STREAM_ROWS")
# Where execvp looks when PATH is not set (glibc's _CS_PATH).
DEFAULT_SEARCH_PATH = "/bin:/usr/bin"


@dataclass(frozen=True)
class BrokerCommand:
    """A program with its arguments, environment and directory."""

    program: str
    args: list[str]
    env: dict[str, str]
    cwd: str | None


def fit_size(name: str, value: int) -> int:
    """A column or row count: at least 1, at most 65535; zero and negatives are refused."""
    number = int(value)
    if number <= 0:
        raise ValueError(f"{name} must be a positive number, not {value!r}")
    return min(number, MAX_SIZE)


def find_executable(name: str, search_path: str | None) -> str | None:
    """A program as a shell finds it: a name with a slash is a path, others are looked up on search_path."""
    if "/" in name:
        return os.path.abspath(name) if os.path.isfile(name) and os.access(name, os.X_OK) else None
    return shutil.which(name, path=search_path if search_path is not None else DEFAULT_SEARCH_PATH)


def resolve_broker(option: str | None) -> str:
    """The local broker: the option, then TERMINAL_STREAM_BROKER, then PATH (this process's environment).

    Raises BrokerNotFound, saying where it looked, so that a wrong set-up shows at spawn.
    """
    name = option or os.environ.get("TERMINAL_STREAM_BROKER") or DEFAULT_BROKER_NAME
    found = find_executable(name, os.environ.get("PATH"))
    if found:
        return found
    source = "the broker argument" if option else (
        "TERMINAL_STREAM_BROKER" if os.environ.get("TERMINAL_STREAM_BROKER") else "PATH")
    raise BrokerNotFound(f'terminal-stream-broker not found: "{name}" (from {source}) is not an executable '
                         "file; pass broker=, set TERMINAL_STREAM_BROKER, or put terminal-stream-broker on PATH")


def shell_environment(given: Mapping[str, str] | None, term: str | None) -> dict[str, str]:
    """The shell's environment (which the broker passes on whole): given, else ours, with TERM set."""
    env = dict(os.environ if given is None else given)
    if given is None:
        for name in OUTER_TERMINAL_VARIABLES:
            env.pop(name, None)
    for name in BROKER_VARIABLES:
        env.pop(name, None)
    env["TERM"] = term or env.get("TERM") or DEFAULT_TERM
    return env


def _is_default_size(cols: int, rows: int) -> bool:
    return cols == DEFAULT_COLS and rows == DEFAULT_ROWS


def _local_shell_line(argv: Sequence[str], env: Mapping[str, str], cwd: str, cols: int,
                      rows: int) -> tuple[list[str], dict[str, str]]:
    plain: tuple[list[str], dict[str, str]] = (["--", *argv], {})
    if _is_default_size(cols, rows):
        return plain
    program = argv[0]
    found = (find_executable(os.path.join(cwd, program), None) if "/" in program
             else find_executable(program, env.get("PATH", DEFAULT_SEARCH_PATH)))
    # A missing program is left for the broker to report.
    if not found or not os.access(ENV_PROGRAM, os.X_OK):
        return plain
    unset = [word for name in SIZE_VARIABLES for word in ("-u", name)]
    return (["--", ENV_PROGRAM, *unset, "--", *argv],
            {"TERMINAL_STREAM_COLS": str(cols), "TERMINAL_STREAM_ROWS": str(rows)})


def local_command(argv: Sequence[str], *, env: Mapping[str, str] | None, cwd: str | None, term: str | None,
                  cols: int, rows: int, broker: str | None) -> BrokerCommand:
    """The broker, started in the shell's directory with the shell's environment."""
    program = resolve_broker(broker)
    shell_env = shell_environment(env, term)
    directory = cwd if cwd is not None else os.getcwd()
    if not os.path.isdir(directory):
        # The broker reports a directory it cannot enter and ends with status 1.
        return BrokerCommand(program, ["--", *argv], {**shell_env, "TERMINAL_STREAM_CWD": directory}, None)
    args, size_env = _local_shell_line(argv, shell_env, directory, cols, rows)
    return BrokerCommand(program, args, {**shell_env, **size_env}, directory)


def launcher_command(argv: Sequence[str], *, launcher: Sequence[str], launcher_shell: bool, cwd: str | None,
                     term: str | None, cols: int, rows: int, broker: str | None) -> BrokerCommand:
    """The launcher, then `env NAME=VALUE... broker -- [env -u NAME... --] argv`.

    A transport carries neither our environment nor our directory: TERM, the
    directory and the size travel as assignments, and the shell leaves them
    behind. ssh joins its arguments into one line for a shell on the far
    side, hence launcher_shell, which quotes each word for it.
    """
    if not launcher or not all(isinstance(word, str) for word in launcher) or not launcher[0]:
        raise ValueError("launcher must be a non-empty list of strings")
    found = find_executable(launcher[0], os.environ.get("PATH"))
    if not found:
        raise BrokerNotFound(f'launcher "{launcher[0]}" not found: it is not an executable file or not on PATH')
    settings: dict[str, str] = {}
    if cwd:
        settings["TERMINAL_STREAM_CWD"] = cwd
    if not _is_default_size(cols, rows):
        settings.update(TERMINAL_STREAM_COLS=str(cols), TERMINAL_STREAM_ROWS=str(rows))
    unset = [word for name in settings for word in ("-u", name)]
    shell = ["env", *unset, "--", *argv] if settings else list(argv)
    assignments = [f"TERM={term or DEFAULT_TERM}", *(f"{name}={value}" for name, value in settings.items())]
    remote = ["env", *assignments, broker or DEFAULT_BROKER_NAME, "--", *shell]
    if launcher_shell:
        remote = [shlex.quote(word) for word in remote]
    return BrokerCommand(found, [*launcher[1:], *remote], dict(os.environ), None)
