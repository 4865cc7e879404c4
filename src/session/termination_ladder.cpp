#include "session/termination_ladder.hpp"

#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "log/log.hpp"
#include "sys/error.hpp"

namespace tsb {

void TerminationLadder::request(Clock::time_point now, bool shell_reaped, int terminal,
                                std::string_view context) {
    if (!requested_at_) requested_at_ = now;
    // Once the shell has been reaped its process id may already belong to
    // another process: it must not be signalled any more.
    if (shell_reaped) return;
    if (::kill(shell_, SIGTERM) < 0) log_error_with(context, Error::symbolic(errno));
    if (step_ != Step::none) return;
    // The shell leads its own session, so its process group has its pid.
    groups_.push_back(shell_);
    note_foreground(terminal);
    step_ = Step::terminate_sent;
    next_step_ = now + termination_hangup_delay;
}

Deadline TerminationLadder::deadline() const {
    if (!climbing()) return std::nullopt;
    if (!next_look_) return next_step_;
    return std::min(*next_look_, *next_step_);
}

void TerminationLadder::act(Clock::time_point now, int terminal, bool shell_reaped) {
    if (!climbing()) return;
    if (shell_reaped && (!next_look_ || now >= *next_look_)) {
        if (!anything_left(shell_reaped)) {
            step_ = Step::done;
            return;
        }
        next_look_ = now + termination_look_interval;
    }
    if (now < *next_step_) return;
    note_foreground(terminal);
    if (step_ == Step::terminate_sent) {
        // What a terminal that is closed would do: hang up the session's
        // groups, and wake them in case they were stopped.
        signal_groups(SIGHUP, shell_reaped);
        signal_groups(SIGCONT, shell_reaped);
        step_ = Step::hangup_sent;
        next_step_ = now + termination_kill_delay;
    } else {
        signal_groups(SIGKILL, shell_reaped);
        step_ = Step::done;
    }
}

// The master can name a group from elsewhere: group 0 or the broker's own
// group would hit the broker and its peer.
void TerminationLadder::note_foreground(int terminal) {
    if (terminal < 0) return;
    const pid_t foreground = ::tcgetpgrp(terminal);
    if (foreground <= 0 || foreground == ::getpgrp() || ::getsid(foreground) != shell_) return;
    if (std::ranges::find(groups_, foreground) == groups_.end()) groups_.push_back(foreground);
}

// A group number is free for reuse only once the group has no process
// left, so a group whose leader is gone is still the one noted while it has
// members. A group whose leader lives belongs to the session when the
// leader does; but once the shell has been reaped, a process with the
// shell's pid is a newcomer, not the shell.
bool TerminationLadder::belongs_to_session(pid_t group, bool shell_reaped) const {
    const pid_t session = ::getsid(group);
    if (session < 0) return errno == ESRCH;
    if (group == shell_ && shell_reaped) return false;
    return session == shell_;
}

void TerminationLadder::signal_groups(int number, bool shell_reaped) const {
    for (const pid_t group : groups_) {
        if (belongs_to_session(group, shell_reaped)) ::kill(-group, number);
    }
}

bool TerminationLadder::anything_left(bool shell_reaped) const {
    return std::ranges::any_of(groups_, [&](pid_t group) {
        return belongs_to_session(group, shell_reaped) && ::kill(-group, 0) == 0;
    });
}

}  // namespace tsb
