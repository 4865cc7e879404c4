"""Drive a shell in a terminal from Python, through terminal-stream-broker.

``await terminal_stream.spawn(...)`` is the asyncio API; ``terminal_stream.sync``
offers the same terminal with pexpect's synchronous names.
"""

from .errors import EOF, TIMEOUT, BrokerError, BrokerNotFound, TerminalStreamError
from .screen import ScreenText
from .terminal import Spawning, Terminal, spawn

__all__ = ["EOF", "TIMEOUT", "BrokerError", "BrokerNotFound", "ScreenText", "Spawning", "Terminal", "TerminalStreamError",
           "spawn"]
__version__ = "0.1.0"
