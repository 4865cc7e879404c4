#include "sys/signal_pipe.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>

namespace tsb {
namespace {

// Shared with the handler, which may run on any thread at any moment:
// only lock-free atomics.
std::array<std::atomic<bool>, NSIG> marks{};
std::atomic<int> wake_write_fd{-1};
static_assert(std::atomic<bool>::is_always_lock_free);
static_assert(std::atomic<int>::is_always_lock_free);

bool in_range(int signal_number) noexcept { return signal_number > 0 && signal_number < NSIG; }

void on_signal(int signal_number, siginfo_t*, void*) {
    const int saved_errno = errno;
    mark_signal(signal_number);
    const int fd = wake_write_fd.load();
    // A full socket already holds a wake-up byte; this one can be dropped.
    if (fd >= 0) ::send(fd, "s", 1, MSG_DONTWAIT | MSG_NOSIGNAL);
    errno = saved_errno;
}

}  // namespace

void mark_signal(int signal_number) noexcept {
    if (in_range(signal_number)) marks[static_cast<std::size_t>(signal_number)].store(true);
}

bool take_signal_mark(int signal_number) noexcept {
    return in_range(signal_number) && marks[static_cast<std::size_t>(signal_number)].exchange(false);
}

bool signal_marked(int signal_number) noexcept {
    return in_range(signal_number) && marks[static_cast<std::size_t>(signal_number)].load();
}

Result<SignalPipe> SignalPipe::install(std::span<const int> signals, bool restart) {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) < 0) return fail(Error::last_os());
    SignalPipe pipe{Fd(pair[0]), Fd(pair[1])};
    const int flags = ::fcntl(pair[1], F_GETFL);
    if (flags < 0 || ::fcntl(pair[1], F_SETFL, flags | O_NONBLOCK) < 0) return fail(Error::last_os());
    wake_write_fd.store(pair[1]);

    struct sigaction action {};
    action.sa_sigaction = on_signal;
    action.sa_flags = SA_SIGINFO | (restart ? SA_RESTART : 0);
    sigemptyset(&action.sa_mask);
    std::vector<int> ascending(signals.begin(), signals.end());
    std::ranges::sort(ascending);
    pipe.previous_.reserve(ascending.size());
    for (const int signal_number : ascending) {
        struct sigaction previous {};
        if (::sigaction(signal_number, &action, &previous) < 0)
            return fail(Error::last_os());  // the destructor withdraws the others
        pipe.signals_.push_back(signal_number);
        pipe.previous_.push_back(previous);
    }
    return pipe;
}

SignalPipe::SignalPipe(SignalPipe&& other) noexcept
    : wake_read_(std::move(other.wake_read_)),
      wake_write_(std::move(other.wake_write_)),
      signals_(std::move(other.signals_)),
      previous_(std::move(other.previous_)) {
    other.signals_.clear();
    other.previous_.clear();
}

SignalPipe::~SignalPipe() { withdraw(); }

void SignalPipe::withdraw() noexcept {
    for (std::size_t i = signals_.size(); i-- > 0;) ::sigaction(signals_[i], &previous_[i], nullptr);
    signals_.clear();
    previous_.clear();
    // Handlers are gone, so no new one picks up the descriptor after this.
    if (wake_write_) wake_write_fd.store(-1);
}

Result<void> SignalPipe::wait() const {
    char byte;
    while (true) {
        const ssize_t n = ::read(wake_read_.get(), &byte, 1);
        if (n == 1) return {};
        if (n < 0 && errno == EINTR) continue;
        if (n == 0) return fail(Error::text("signal wake-up socket closed"));
        return fail(Error::last_os());
    }
}

void SignalPipe::clear_wake() const {
    char bytes[1024];
    while (::recv(wake_read_.get(), bytes, sizeof bytes, MSG_DONTWAIT) > 0) {
    }
}

std::vector<int> SignalPipe::take() {
    clear_wake();
    std::vector<int> arrived;
    for (const int signal_number : signals_)
        if (take_signal_mark(signal_number)) arrived.push_back(signal_number);
    return arrived;
}

}  // namespace tsb
