#pragma once
// The attach client's event loop: keystrokes to the broker, terminal output
// from the broker to the person's terminal, resizes, the broker's
// diagnostics, and the signals that end a session.

#include <chrono>
#include <string>

#include "attach/asciicast_recording.hpp"
#include "attach/broker_child.hpp"
#include "attach/signals.hpp"
#include "attach/terminal_modes.hpp"

namespace tsb::attach {

// The person's side: the terminal read for keystrokes, the terminal written
// with output, and where diagnostics go.
struct LocalStreams {
    int terminal_in;
    int terminal_out;
    int diagnostics;
};

struct SessionOutcome {
    enum class End {
        closed,         // the broker reported the shell's end
        broker_lost,    // the broker's output ended without a closed line
        hangup,         // the person's terminal hung up (SIGHUP, or its end read)
        terminal_lost,  // reading or writing the person's terminal failed otherwise
        signal,         // another signal asked the client to end
    };
    End end = End::closed;
    int exit_status = 0;  // closed: the shell's status
    int signal = 0;       // signal: which one
    std::string detail{};  // terminal_lost: what failed
};

// Connects (with the local size and a flow-control window) and relays
// until the session ends. While `raw` is active, diagnostics get carriage
// returns before their line feeds, as the terminal no longer adds them.
// With a recording, it gets the session from the broker's ready event on.
SessionOutcome run_session(BrokerChild& broker, SignalPipe& signals, const RawMode& raw,
                           const LocalStreams& local, AsciicastRecording* recording = nullptr);

// Copies what is left of the broker's diagnostics to `diagnostics`, until
// their end or the deadline.
void relay_remaining_diagnostics(BrokerChild& broker, int diagnostics,
                                 std::chrono::milliseconds deadline);

}  // namespace tsb::attach
