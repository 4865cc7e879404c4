#pragma once
// The session's main loop: announces the terminal, relays every chunk of its
// output as a data event, applies the readers' commands, and ends with the
// closed event once the shell has exited and the terminal has no more
// output.

#include <signal.h>

#include <string>
#include <vector>

#include "protocol/channel.hpp"
#include "pty/pty.hpp"
#include "session/shell_watch.hpp"
#include "sys/error.hpp"
#include "sys/fd.hpp"
#include "sys/signal_pipe.hpp"

namespace tsb {

// Once the shell is gone and its end was asked for, the terminal is given
// this long to report the end of its output (the kernel hands the last
// bytes to the master a moment after the writer has gone).
inline constexpr auto held_terminal_grace = std::chrono::milliseconds(200);
// Once the shell has exited by itself, the terminal is relayed for as long
// as output comes; after this long without any, whatever the shell left
// behind holding it (a background job) is hung up.
inline constexpr auto quiet_terminal_grace = std::chrono::seconds(1);

// Delivered to the broker, each of these asks the shell to end.
inline constexpr int termination_signals[] = {SIGHUP, SIGINT, SIGTERM};

// Returns the shell's exit status (0 when a signal ended it), or the error
// that ended the session (writing an event, polling or reading the terminal,
// waiting for the shell). `signals`, lent for the call (or null), holds the
// signals delivered to the broker: each is a termination request.
Result<int> main_loop(ChildProcess child, Fd master, const std::vector<std::string>& shell,
                      const std::string& cwd, CommandReceiver receiver, SignalPipe* signals,
                      ExitWatch exit_watch = ExitWatch::process_descriptor);

}  // namespace tsb
