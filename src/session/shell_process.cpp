#include "session/shell_process.hpp"

#include <signal.h>
#include <sys/syscall.h>
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

ShellProcess::ShellProcess(ChildProcess child, ExitWatch exit_watch)
    : child_(child), process_fd_(open_process_descriptor(child.pid(), exit_watch)) {}

void ShellProcess::send_signal(int number) {
    // Once the shell has been reaped its process id may already belong to
    // another process: it must not be signalled any more.
    if (status_) return;
    if (::kill(child_.pid(), number) < 0) log_error_with("terminal.signal failed", Error::symbolic(errno));
}

Deadline ShellProcess::deadline() const {
    if (status_) return std::nullopt;
    if (check_due_) return Clock::time_point::min();
    return next_check_;
}

Result<void> ShellProcess::check_exit(Clock::time_point now) {
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
        ended_at_ = now;
        process_fd_.reset();  // it would stay readable forever
        next_check_.reset();
    }
    return {};
}

}  // namespace tsb
