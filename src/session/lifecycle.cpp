#include "session/lifecycle.hpp"

#include <sys/wait.h>

#include <algorithm>

namespace tsb {
namespace {

// The peer's bounds hold the terminal back, but never where holding it
// would wedge the session: once the slave is hung up, what is left is
// bounded and its end must be seen; and while the stdin reader is held
// behind input the terminal does not take, the acknowledgements the window
// waits for may be held behind it too, and the program on the terminal may
// be waiting for its echo to be read before it takes more.
bool terminal_may_be_read(const SessionFacts& facts) {
    if (facts.output_ended) return false;
    // Output nobody will read is read and dropped, so that the programs on
    // the terminal are not held while they are asked to end.
    if (facts.peer_gone) return true;
    if (facts.backed_up) return false;
    if (!facts.window_full) return true;
    return facts.hung_up || (facts.input_pending && facts.input_held);
}

// After the shell's end, how long the terminal is still waited for.
Deadline grace_deadline(const SessionState& state, const SessionFacts& facts) {
    const Clock::time_point ended = *facts.shell_ended_at;
    const Clock::time_point bound = ended + exited_terminal_grace;
    if (facts.requested_at) return std::min(bound, std::max(ended, *facts.requested_at) + held_terminal_grace);
    if (!state.may_read) return bound;
    return std::min(bound, state.quiet_since + quiet_terminal_grace);
}

}  // namespace

SessionState decide(const SessionState& before, const SessionFacts& facts, Clock::time_point now) {
    SessionState state = before;
    state.may_read = terminal_may_be_read(facts);
    state.request_termination = (facts.peer_gone || facts.stdin_hung_up) && !facts.requested_at;
    state.deadline.reset();
    if (state.phase < Phase::shell_gone && facts.shell_ended_at) {
        state.phase = Phase::shell_gone;
        state.quiet_since = *facts.shell_ended_at;
    }
    if (state.phase == Phase::running && facts.requested_at) state.phase = Phase::ending;
    if (state.phase == Phase::shell_gone) {
        // Output held back by the peer is not quiet: the terminal may well
        // have more.
        if (!state.may_read && !facts.output_ended) state.quiet_since = now;
        state.quiet_since = std::max(state.quiet_since, facts.last_output_at);
        const Deadline grace = grace_deadline(state, facts);
        if (grace && now >= *grace) state.phase = Phase::abandoning;
        if (state.phase == Phase::shell_gone && !facts.output_ended) state.deadline = grace;
    }
    if ((state.phase == Phase::shell_gone || state.phase == Phase::abandoning) && facts.output_ended)
        state.phase = Phase::closing;
    if (state.phase == Phase::closing && (facts.closed_sent || facts.peer_gone))
        state.phase = Phase::settling;
    if (state.phase == Phase::settling && !facts.ladder_climbing && !facts.backed_up)
        state.phase = Phase::done;
    return state;
}

std::string closed_reason(int wait_status, const SessionFacts& facts) {
    if (WIFSIGNALED(wait_status)) return "signal:" + std::to_string(WTERMSIG(wait_status));
    const bool asked_first = facts.requested_at && facts.shell_ended_at &&
                             *facts.requested_at <= *facts.shell_ended_at;
    return asked_first ? "terminated" : "exited";
}

}  // namespace tsb
