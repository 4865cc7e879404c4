#include "attach/signals.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>

namespace tsb::attach {

namespace {

volatile sig_atomic_t wake_fd = -1;
volatile sig_atomic_t terminating = 0;

void on_signal(int signal) {
    const int saved_errno = errno;
    if (signal != SIGWINCH && terminating == 0) terminating = signal;
    const unsigned char number = static_cast<unsigned char>(signal);
    // Non-blocking: when the pipe is full the loop has plenty to read.
    [[maybe_unused]] const ssize_t ignored = ::write(wake_fd, &number, 1);
    errno = saved_errno;
}

}  // namespace

const std::vector<int>& handled_signals() {
    static const std::vector<int> signals{SIGWINCH, SIGHUP, SIGINT, SIGQUIT, SIGTERM};
    return signals;
}

Result<SignalPipe> SignalPipe::install() {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) return fail(Error::last_os());
    Fd read_end(ends[0]), write_end(ends[1]);
    wake_fd = write_end.get();

    struct sigaction action{};
    action.sa_handler = on_signal;
    sigfillset(&action.sa_mask);
    action.sa_flags = 0;
    for (const int signal : handled_signals())
        if (::sigaction(signal, &action, nullptr) != 0) return fail(Error::last_os());
    struct sigaction ignore{};
    ignore.sa_handler = SIG_IGN;
    if (::sigaction(SIGPIPE, &ignore, nullptr) != 0) return fail(Error::last_os());
    return SignalPipe(std::move(read_end), std::move(write_end));
}

std::vector<int> SignalPipe::take() {
    std::vector<int> signals;
    unsigned char numbers[64];
    for (;;) {
        const ssize_t got = ::read(read_end_.get(), numbers, sizeof numbers);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        signals.insert(signals.end(), numbers, numbers + got);
    }
    return signals;
}

int termination_signal() noexcept { return terminating; }

void die_by_signal(int signal) {
    struct sigaction fallback{};
    fallback.sa_handler = SIG_DFL;
    ::sigaction(signal, &fallback, nullptr);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal);
    ::sigprocmask(SIG_UNBLOCK, &only, nullptr);
    ::raise(signal);
    // SIGQUIT's default may be a core dump that is refused; end anyway.
    std::_Exit(128 + signal);
}

}  // namespace tsb::attach
