#include "session/shell_watch.hpp"

#include <signal.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

#include "log/log.hpp"

namespace tsb {
namespace {

// A descriptor that becomes readable when the shell ends, so the loop can
// sleep until something happens. Nothing when the kernel (or a seccomp
// filter) refuses, or when the timed fallback was asked for.
Fd open_process_descriptor(pid_t pid, ExitWatch exit_watch) {
    if (exit_watch == ExitWatch::polling) return {};
#ifdef SYS_pidfd_open
    // pidfd_open always sets close-on-exec on the new descriptor.
    const long fd = ::syscall(SYS_pidfd_open, pid, 0);
    if (fd >= 0) return Fd(static_cast<int>(fd));
#else
    (void)pid;
#endif
    return {};
}

}  // namespace

ShellWatch::ShellWatch(ChildProcess child, ExitWatch exit_watch)
    : child_(child), process_fd_(open_process_descriptor(child.pid(), exit_watch)) {}

void ShellWatch::request_termination(std::string_view context) {
    if (!requested_at_) requested_at_ = Clock::now();
    // Once the shell has been reaped its process id may already belong to
    // another process: it must not be signalled any more.
    if (status_) return;
    if (::kill(child_.pid(), SIGTERM) < 0) log_error_with(context, Error::symbolic(errno));
    if (step_ == Step::none) {
        step_ = Step::terminate_sent;
        next_step_ = Clock::now() + termination_hangup_delay;
    }
}

void ShellWatch::send_signal(int number) {
    if (status_) return;
    if (::kill(child_.pid(), number) < 0) log_error_with("terminal.signal failed", Error::symbolic(errno));
}

Deadline ShellWatch::deadline() const {
    if (status_) return std::nullopt;
    if (check_due_) return Clock::time_point::min();
    if (!next_check_) return next_step_;
    if (!next_step_) return next_check_;
    return std::min(*next_check_, *next_step_);
}

Result<void> ShellWatch::act(Clock::time_point now, int terminal) {
    if (auto checked = check_exit(now); !checked) return checked;
    if (status_ || !next_step_ || now < *next_step_) return {};
    if (step_ == Step::terminate_sent) {
        // What a terminal that is closed would do: hang up the session's
        // groups, and wake them in case they were stopped.
        signal_groups(terminal, SIGHUP);
        signal_groups(terminal, SIGCONT);
        step_ = Step::hangup_sent;
        next_step_ = now + termination_kill_delay;
    } else {
        signal_groups(terminal, SIGKILL);
        step_ = Step::kill_sent;
        next_step_.reset();
    }
    return {};
}

Result<void> ShellWatch::check_exit(Clock::time_point now) {
    if (status_) return {};
    if (!process_fd_) {
        if (!check_due_ && next_check_ && now < *next_check_) return {};
        next_check_ = now + exit_check_interval;
    } else if (!check_due_) {
        return {};
    }
    check_due_ = false;
    Result<std::optional<int>> status = child_.try_wait();
    if (!status) return fail(status.error());
    status_ = *status;
    if (status_) {
        process_fd_.reset();  // it would stay readable forever
        next_check_.reset();
        next_step_.reset();
    }
    return {};
}

// The shell leads its own session, so its process group has its pid. The
// terminal's foreground group is signalled only when it belongs to that
// session: the master can name a group from elsewhere, and group 0 or the
// broker's own group would hit the broker and its peer.
void ShellWatch::signal_groups(int terminal, int number) const {
    const pid_t session = child_.pid();
    ::kill(-session, number);
    if (terminal < 0) return;
    const pid_t foreground = ::tcgetpgrp(terminal);
    if (foreground <= 0 || foreground == session || foreground == ::getpgrp()) return;
    if (::getsid(foreground) != session) return;
    ::kill(-foreground, number);
}

}  // namespace tsb
