#pragma once
// The broker, started as a child of the attach client with its three
// standard streams on pipes that the client holds.

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

#include "sys/error.hpp"
#include "sys/fd.hpp"

namespace tsb::attach {

struct BrokerChild {
    pid_t pid = -1;
    Fd input;   // the broker's standard input: notification lines
    Fd output;  // its standard output: event lines
    Fd errors;  // its standard error: diagnostics
};

// Starts `program` (a path, or a name looked up on PATH) with the shell
// command, if any, after "--". The broker runs in its own process group, so
// that signals meant for the person's terminal reach the client alone, and
// with the default dispositions of the signals the client handles.
Result<BrokerChild> spawn_broker(const std::string& program, const std::vector<std::string>& shell);

// Ends a broker whose session is being abandoned: closing its standard
// input asks it to end the shell with SIGTERM; a broker still running after
// `grace` is killed, which hangs up the shell's terminal. Standard output is
// read and dropped meanwhile. Returns the broker's wait status.
int stop_broker(BrokerChild& broker, std::chrono::milliseconds grace);

// Waits for the broker to end and returns its wait status.
int wait_broker(BrokerChild& broker);

}  // namespace tsb::attach
