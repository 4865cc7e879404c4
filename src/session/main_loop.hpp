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
#include "session/shell_process.hpp"
#include "sys/error.hpp"
#include "sys/fd.hpp"
#include "sys/signal_pipe.hpp"

namespace tsb {

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
