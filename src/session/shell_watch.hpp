#pragma once
// The shell's side of the session: learning that it has ended, and ending
// it when asked. A termination request climbs a ladder, so that a shell
// that ignores the polite request still ends: SIGTERM to the shell; if it is
// still there after termination_hangup_delay, the hang-up a closed terminal
// gives (SIGHUP, then SIGCONT) to its process group and to the terminal's
// foreground group; if still there after termination_kill_delay more,
// SIGKILL to those groups.

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string_view>

#include "pty/pty.hpp"
#include "sys/error.hpp"
#include "sys/fd.hpp"

namespace tsb {

using Clock = std::chrono::steady_clock;
using Deadline = std::optional<Clock::time_point>;

inline constexpr auto termination_hangup_delay = std::chrono::seconds(1);
inline constexpr auto termination_kill_delay = std::chrono::seconds(4);

// How the loop learns that the shell has ended: by sleeping on a process
// descriptor (falling back to polling when the kernel refuses one), or by
// looking every exit_check_interval.
enum class ExitWatch { process_descriptor, polling };
inline constexpr auto exit_check_interval = std::chrono::milliseconds(50);

class ShellWatch {
public:
    ShellWatch(ChildProcess child, ExitWatch exit_watch);

    pid_t pid() const noexcept { return child_.pid(); }
    // The wait status, once the shell has been reaped.
    std::optional<int> status() const noexcept { return status_; }
    bool termination_requested() const noexcept { return requested_at_.has_value(); }
    // When the first termination request came.
    Deadline termination_requested_at() const noexcept { return requested_at_; }

    // SIGTERM now, and the ladder's next steps at their deadlines. Every
    // request sends SIGTERM again; the ladder keeps its pace. `context`
    // names the request in the diagnostic written when kill fails.
    void request_termination(std::string_view context);
    // Sends `number` to the shell itself, as asked by the peer.
    void send_signal(int number);

    // A descriptor that becomes readable when the shell ends; -1 when the
    // loop must look by the clock instead (or the shell is gone).
    int poll_fd() const noexcept { return process_fd_.get(); }
    void on_poll_ready() noexcept { check_due_ = true; }
    // When the watch wants to act: its next exit check by the clock, or the
    // ladder's next step.
    Deadline deadline() const;
    // Acts on what is due at `now`: reaps the shell if it has ended, takes
    // the ladder's next step. `terminal` is the PTY master (or -1 once it is
    // closed), whose foreground group shares the hang-up and the kill.
    Result<void> act(Clock::time_point now, int terminal);

private:
    enum class Step { none, terminate_sent, hangup_sent, kill_sent };

    Result<void> check_exit(Clock::time_point now);
    void signal_groups(int terminal, int number) const;

    ChildProcess child_;
    Fd process_fd_;
    std::optional<int> status_;
    Deadline requested_at_;
    // Without a process descriptor: the time of the next look.
    Deadline next_check_;
    bool check_due_ = true;
    Step step_ = Step::none;
    Deadline next_step_;
};

}  // namespace tsb
