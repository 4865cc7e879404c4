#pragma once
// The session's main loop: announces the terminal, relays every chunk of its
// output as a data event, applies the readers' commands, and ends with the
// closed event once the shell has exited and the terminal has reported the
// end of its output.

#include <string>
#include <vector>

#include "protocol/channel.hpp"
#include "pty/pty.hpp"
#include "sys/error.hpp"
#include "sys/fd.hpp"

namespace tsb {

// How the loop learns that the shell has ended: by sleeping on a process
// descriptor (falling back to polling when the kernel refuses one), or by
// looking every 50 ms.
enum class ExitWatch { process_descriptor, polling };

// Returns the shell's exit status (0 when a signal ended it), or the error
// that ended the session (writing an event, polling or reading the terminal,
// waiting for the shell).
Result<int> main_loop(ChildProcess child, Fd master, const std::vector<std::string>& shell,
                      const std::string& cwd, CommandReceiver receiver,
                      ExitWatch exit_watch = ExitWatch::process_descriptor);

}  // namespace tsb
