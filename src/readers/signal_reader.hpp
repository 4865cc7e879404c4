#pragma once
// The signal reader: a thread that turns SIGHUP, SIGINT and SIGTERM delivered
// to the broker into Signal commands, so the shell is asked to end (and its end is
// reported) instead of the broker dying outright.

#include "protocol/channel.hpp"
#include "sys/error.hpp"

namespace tsb {

// Installs the handlers for SIGHUP, SIGINT and SIGTERM, then starts the detached
// thread "terminal-stream-signal-reader" that reports them. Fails only when
// the thread cannot be created; when the handlers cannot be installed it
// writes one diagnostic and starts no thread.
Result<void> spawn_signal_reader(CommandSender sender);

}  // namespace tsb
