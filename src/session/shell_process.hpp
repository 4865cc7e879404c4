#pragma once
// The shell's process: learning that it has ended, and the peer's signals
// to it. Ending it when asked is the termination ladder's job.

#include <sys/types.h>

#include <chrono>
#include <optional>

#include "pty/pty.hpp"
#include "session/lifecycle.hpp"
#include "sys/error.hpp"
#include "sys/fd.hpp"

namespace tsb {

// How the loop learns that the shell has ended: by sleeping on a process
// descriptor (falling back to polling when the kernel refuses one), or by
// looking every exit_check_interval.
enum class ExitWatch { process_descriptor, polling };
inline constexpr auto exit_check_interval = std::chrono::milliseconds(50);

class ShellProcess {
public:
    ShellProcess(ChildProcess child, ExitWatch exit_watch);

    pid_t pid() const noexcept { return child_.pid(); }
    // The wait status, once the shell has been reaped, and when that was.
    std::optional<int> status() const noexcept { return status_; }
    Deadline ended_at() const noexcept { return ended_at_; }
    bool reaped() const noexcept { return status_.has_value(); }

    // Sends `number` to the shell itself, as asked by the peer.
    void send_signal(int number);

    // A descriptor that becomes readable when the shell ends; -1 when the
    // loop must look by the clock instead (or the shell is gone).
    int poll_fd() const noexcept { return process_fd_.get(); }
    void on_poll_ready() noexcept { check_due_ = true; }
    // When the next look by the clock is due.
    Deadline deadline() const;
    // Reaps the shell if it has ended and a look is due at `now`.
    Result<void> check_exit(Clock::time_point now);

private:
    ChildProcess child_;
    Fd process_fd_;
    std::optional<int> status_;
    Deadline ended_at_;
    // Without a process descriptor: the time of the next look.
    Deadline next_check_;
    bool check_due_ = true;
};

}  // namespace tsb
