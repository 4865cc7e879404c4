#pragma once
// Where a session stands in its life, decided in one place. The parts of
// the session (the shell, its termination ladder, the terminal, the peer)
// only report facts; decide() turns the facts and the time into the
// session's phase, whether the terminal may be read, and when the loop must
// look again at the latest. It does no I/O and reads no clock, so the rules
// can be driven through sequences of facts without a terminal.
//
// A session ends when two facts hold, whichever comes second: the shell has
// ended and the terminal has no more output. Then the closed line goes out,
// and the session is done.

#include <chrono>
#include <optional>
#include <string>

namespace tsb {

using Clock = std::chrono::steady_clock;
using Deadline = std::optional<Clock::time_point>;

// Once the shell is gone and its end was asked for, the terminal is given
// this long to report the end of its output (the kernel hands the last
// bytes to the master a moment after the writer has gone).
inline constexpr auto held_terminal_grace = std::chrono::milliseconds(200);
// Once the shell has exited by itself, the terminal is relayed while output
// comes; after this long without any, whatever the shell left behind
// holding it (a background job) is hung up.
inline constexpr auto quiet_terminal_grace = std::chrono::seconds(1);
// ... but never longer than this after the shell's end: a background job
// that keeps printing must not keep the session open for ever, and the
// shell's exit is reported soon after it happens.
inline constexpr auto exited_terminal_grace = std::chrono::seconds(3);

// It only moves forward.
enum class Phase {
    running,     // the shell lives and nobody asked it to end
    ending,      // its end was asked for: the ladder climbs
    shell_gone,  // reaped; the terminal is still relayed while it has output
    abandoning,  // something the shell left behind holds the terminal: close it
    closing,     // reaped and the terminal's output has ended: the closed line
    settling,    // the closed line is out: the ladder and the peer finish
    done,        // nothing is left to do
};

// What the parts report, as of one pass of the loop.
struct SessionFacts {
    // The shell.
    Deadline shell_ended_at;  // when its end was seen
    // The first termination request, and whether the ladder it started still
    // has steps to take (signals to send, groups to watch).
    Deadline requested_at;
    bool ladder_climbing = false;
    // The terminal.
    bool output_ended = false;   // it has reported the end of its output, or is closed
    bool hung_up = false;        // no slave descriptor is left open
    bool input_pending = false;  // input waits for room in the terminal
    Clock::time_point last_output_at{};  // the last read that returned output
    // The peer.
    bool backed_up = false;      // event lines wait for it to read
    bool window_full = false;    // it has not acknowledged a window's worth
    bool input_held = false;     // the stdin reader waits for room in the channel
    bool stdin_hung_up = false;  // its end of standard input has gone
    bool peer_gone = false;      // standard output can no longer be written
    bool closed_sent = false;    // the closed line has been handed to the outbox
};

// What decide() returns, and is handed back at the next pass.
struct SessionState {
    Phase phase = Phase::running;
    // Since when the terminal has been quiet, once the shell is gone.
    Clock::time_point quiet_since{};
    bool may_read = true;
    // A dead peer is a termination request: ask the ladder to climb.
    bool request_termination = false;
    // When decide() must be asked again at the latest, for a grace that
    // runs out; the parts' own deadlines come on top.
    Deadline deadline;
};

SessionState decide(const SessionState& before, const SessionFacts& facts, Clock::time_point now);

// The closed line's "reason" for the shell's wait status. It tells how the
// shell ended: a request counts only when it came before the shell's end
// was seen.
std::string closed_reason(int wait_status, const SessionFacts& facts);

}  // namespace tsb
