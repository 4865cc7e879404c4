#pragma once
// The stdin reader: a thread that cuts standard input into lines, turns each
// into a command with parse_notification and sends it to the main loop; it
// sends StdinClosed last, when input ends or cannot be read.

#include "protocol/channel.hpp"
#include "sys/error.hpp"

namespace tsb {

// Starts the detached thread "terminal-stream-stdin-reader" reading fd 0.
// Fails only when the thread cannot be created.
Result<void> spawn_stdin_reader(CommandSender sender);

// The reader's body, on the calling thread, reading `fd` until it ends.
void run_stdin_reader(int fd, CommandSender sender);

}  // namespace tsb
