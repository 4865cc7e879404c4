#pragma once
// The broker, started as a child of the attach client with its three
// standard streams on pipes that the client holds.

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "sys/error.hpp"
#include "sys/fd.hpp"

namespace tsb::attach {

// The size the pipe of the broker's output gets where the system allows
// (its default is 64 KiB): a line of a full read of the terminal is 87 KiB,
// and a larger pipe lets the broker write several lines before the client
// wakes up.
inline constexpr std::size_t broker_output_pipe_size = 1024 * 1024;

struct BrokerChild {
    pid_t pid = -1;
    Fd input;   // the broker's standard input: notification lines
    Fd output;  // its standard output: event lines
    Fd errors;  // its standard error: diagnostics
};

// Starts `program` (a path, or a name looked up on PATH) with the shell
// command, if any, after "--". Its output pipe gets broker_output_pipe_size
// bytes when the system allows it, else keeps its size. The broker runs in its own process group, so
// that signals meant for the person's terminal reach the client alone, and
// with the default dispositions of the signals the client handles.
Result<BrokerChild> spawn_broker(const std::string& program, const std::vector<std::string>& shell);

// Hangs the session up as a closed terminal would, without waiting: asks
// the broker to send SIGHUP to the shell (terminal.signal), then closes its
// standard input, a termination request of its own, after which the broker
// ends the shell within a few seconds whatever it ignores. Nothing here
// signals a process: the shell may run elsewhere, behind a launcher.
void hang_up_broker(BrokerChild& broker);

// hang_up_broker(), then waits up to `grace` for the broker to end,
// reading and dropping its output meanwhile. Returns the broker's wait
// status, or nothing while it still runs (it ends the session on its own).
std::optional<int> end_broker(BrokerChild& broker, std::chrono::milliseconds grace);

// Waits for the broker to end and returns its wait status.
int wait_broker(BrokerChild& broker);

}  // namespace tsb::attach
