#pragma once
// Ending the shell's session when asked, so that what ignores a polite
// request still ends. A termination request climbs a ladder:
//   1. SIGTERM to the shell, at once (again at every request);
//   2. termination_hangup_delay after the first request, the hang-up a
//      closed terminal gives (SIGHUP, then SIGCONT) to the session's groups;
//   3. termination_kill_delay after that, SIGKILL to those groups.
// The session's groups are the shell's own and every foreground group of
// the terminal seen at a step, as long as they belong to the shell's
// session: a program started with setsid left it on purpose. The ladder is
// about the session, not only the shell: once the shell is gone it goes on
// with those groups, and stops early only when none has a process left.

#include <sys/types.h>

#include <chrono>
#include <string_view>
#include <vector>

#include "session/lifecycle.hpp"

namespace tsb {

inline constexpr auto termination_hangup_delay = std::chrono::seconds(1);
inline constexpr auto termination_kill_delay = std::chrono::seconds(4);
// Once the shell is gone, how often the ladder looks whether the groups it
// watches still have a process.
inline constexpr auto termination_look_interval = std::chrono::milliseconds(100);

class TerminationLadder {
public:
    explicit TerminationLadder(pid_t shell) : shell_(shell) {}

    // When the first request came, whether or not it started the ladder.
    Deadline requested_at() const noexcept { return requested_at_; }
    // The ladder has steps to come.
    bool climbing() const noexcept { return step_ == Step::terminate_sent || step_ == Step::hangup_sent; }

    // A request while the shell lives sends it SIGTERM, and the first one
    // starts the climb. `terminal` is the PTY master (or -1), `context`
    // names the request in the diagnostic written when kill fails.
    void request(Clock::time_point now, bool shell_reaped, int terminal, std::string_view context);
    // When the ladder wants to act next.
    Deadline deadline() const;
    // Takes what is due at `now`.
    void act(Clock::time_point now, int terminal, bool shell_reaped);

private:
    enum class Step { none, terminate_sent, hangup_sent, done };

    void note_foreground(int terminal);
    bool belongs_to_session(pid_t group, bool shell_reaped) const;
    void signal_groups(int number, bool shell_reaped) const;
    bool anything_left(bool shell_reaped) const;

    pid_t shell_;
    Deadline requested_at_;
    Step step_ = Step::none;
    Deadline next_step_;
    Deadline next_look_;
    std::vector<pid_t> groups_;
};

}  // namespace tsb
