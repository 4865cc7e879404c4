#include "readers/signal_reader.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <memory>
#include <cerrno>
#include <string>
#include <string_view>

#include "log/log.hpp"
#include "readers/signal_reader_detail.hpp"
#include "readers/thread.hpp"
#include "sys/fd.hpp"

namespace tsb {
namespace {

constexpr std::array handled_signals{SIGHUP, SIGINT, SIGTERM};  // ascending

// Shared with the handlers, which may run on any thread at any moment:
// only lock-free atomics.
std::array<std::atomic<bool>, NSIG> pending_marks{};
std::atomic<int> wake_write_fd{-1};
static_assert(std::atomic<bool>::is_always_lock_free);
static_assert(std::atomic<int>::is_always_lock_free);

void on_signal(int signal_number, siginfo_t*, void*) {
    const int saved_errno = errno;
    detail::mark_signal_pending(signal_number);
    const int fd = wake_write_fd.load();
    // A full socket already holds a wake-up byte; this one can be dropped.
    if (fd >= 0) ::send(fd, "s", 1, MSG_DONTWAIT | MSG_NOSIGNAL);
    errno = saved_errno;
}

std::string_view signal_name(int signal_number) {
    switch (signal_number) {
    case SIGHUP: return "SIGHUP";
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    default: return "signal";
    }
}

// The handlers, the wake-up socket pair and what the signals did before;
// destroying it puts everything back as it was.
class SignalRegistration {
public:
    static Result<SignalRegistration> install();
    SignalRegistration(SignalRegistration&& other) noexcept;
    SignalRegistration& operator=(SignalRegistration&&) = delete;
    ~SignalRegistration();

    int wake_fd() const noexcept { return wake_read_.get(); }

private:
    SignalRegistration(Fd read_end, Fd write_end) noexcept
        : wake_read_(std::move(read_end)), wake_write_(std::move(write_end)) {}
    void withdraw() noexcept;

    Fd wake_read_;
    Fd wake_write_;
    std::array<struct sigaction, handled_signals.size()> previous_{};
    std::size_t installed_ = 0;
};

Result<SignalRegistration> SignalRegistration::install() {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) < 0) return fail(Error::last_os());
    SignalRegistration registration{Fd(pair[0]), Fd(pair[1])};
    const int flags = ::fcntl(pair[1], F_GETFL);
    if (flags < 0 || ::fcntl(pair[1], F_SETFL, flags | O_NONBLOCK) < 0) return fail(Error::last_os());
    wake_write_fd.store(pair[1]);

    struct sigaction action {};
    action.sa_sigaction = on_signal;
    action.sa_flags = SA_SIGINFO | SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (const int signal_number : handled_signals) {
        if (::sigaction(signal_number, &action, &registration.previous_[registration.installed_]) < 0)
            return fail(Error::last_os());  // the destructor withdraws the others
        ++registration.installed_;
    }
    return registration;
}

SignalRegistration::SignalRegistration(SignalRegistration&& other) noexcept
    : wake_read_(std::move(other.wake_read_)),
      wake_write_(std::move(other.wake_write_)),
      previous_(other.previous_),
      installed_(std::exchange(other.installed_, 0)) {}

SignalRegistration::~SignalRegistration() { withdraw(); }

void SignalRegistration::withdraw() noexcept {
    for (std::size_t i = installed_; i-- > 0;) ::sigaction(handled_signals[i], &previous_[i], nullptr);
    installed_ = 0;
    // Handlers are gone, so no new one picks up the descriptor after this.
    if (wake_write_) wake_write_fd.store(-1);
}

// Empties the wake-up socket without blocking: the marks, not the bytes,
// say which signals arrived.
void drain(int fd) {
    char bytes[1024];
    while (::recv(fd, bytes, sizeof bytes, MSG_DONTWAIT) > 0) {
    }
}

// Blocks until a handler has written a byte; the error when waiting fails.
Result<void> wait_for_signal(int fd) {
    char byte;
    while (true) {
        const ssize_t n = ::read(fd, &byte, 1);
        if (n == 1) return {};
        if (n < 0 && errno == EINTR) continue;
        if (n == 0) return fail(Error::text("signal wake-up socket closed"));
        return fail(Error::last_os());
    }
}

// The report of a reader that has stopped working.
void report_unexpected(const Error& error) { log_error_with("Unexpected error", error); }

void run_signal_reader(const SignalRegistration& registration, const CommandSender& sender) {
    const int fd = registration.wake_fd();
    drain(fd);
    while (detail::report_pending_signals(sender)) {
        if (auto woken = wait_for_signal(fd); !woken) {
            report_unexpected(woken.error());
            return;
        }
        drain(fd);
    }
}

}  // namespace

namespace detail {

void mark_signal_pending(int signal_number) noexcept {
    if (signal_number > 0 && signal_number < NSIG) pending_marks[signal_number].store(true);
}

bool report_pending_signals(const CommandSender& sender) {
    for (const int signal_number : handled_signals) {
        if (!pending_marks[signal_number].exchange(false)) continue;
        if (!sender.send(Signal{signal_name(signal_number)})) return false;
    }
    return true;
}

}  // namespace detail

Result<void> spawn_signal_reader(CommandSender sender) {
    // The handlers go in before this returns, on the caller's thread: from
    // then on (and so before the shell exists) SIGHUP, SIGINT and SIGTERM can only
    // become commands, never end the broker.
    auto registration = SignalRegistration::install();
    if (!registration) {
        log_error_with("failed to register signal handlers", registration.error());
        return {};
    }
    auto installed = std::make_shared<SignalRegistration>(std::move(*registration));
    return spawn_named_thread("terminal-stream-signal-reader",
                              [installed, sender = std::move(sender)] { run_signal_reader(*installed, sender); });
}

}  // namespace tsb
