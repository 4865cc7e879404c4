#include "readers/signal_reader.hpp"

#include <signal.h>

#include <array>
#include <memory>
#include <string_view>

#include "log/log.hpp"
#include "readers/signal_reader_detail.hpp"
#include "readers/thread.hpp"
#include "sys/signal_pipe.hpp"

namespace tsb {
namespace {

constexpr std::array handled_signals{SIGHUP, SIGINT, SIGTERM};  // ascending

std::string_view signal_name(int signal_number) {
    switch (signal_number) {
    case SIGHUP: return "SIGHUP";
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    default: return "signal";
    }
}

// The report of a reader that has stopped working.
void report_unexpected(const Error& error) { log_error_with("Unexpected error", error); }

void run_signal_reader(const SignalPipe& signals, const CommandSender& sender) {
    signals.clear_wake();
    while (detail::report_pending_signals(sender)) {
        if (auto woken = signals.wait(); !woken) {
            report_unexpected(woken.error());
            return;
        }
        signals.clear_wake();
    }
}

}  // namespace

namespace detail {

bool report_pending_signals(const CommandSender& sender) {
    for (const int signal_number : handled_signals) {
        if (!take_signal_mark(signal_number)) continue;
        if (!sender.send(Signal{signal_name(signal_number)})) return false;
    }
    return true;
}

}  // namespace detail

Result<void> spawn_signal_reader(CommandSender sender) {
    // The handlers go in before this returns, on the caller's thread: from
    // then on (and so before the shell exists) SIGHUP, SIGINT and SIGTERM can only
    // become commands, never end the broker.
    auto registration = SignalPipe::install(handled_signals, /*restart=*/true);
    if (!registration) {
        log_error_with("failed to register signal handlers", registration.error());
        return {};
    }
    auto installed = std::make_shared<SignalPipe>(std::move(*registration));
    return spawn_named_thread("terminal-stream-signal-reader",
                              [installed, sender = std::move(sender)] { run_signal_reader(*installed, sender); });
}

}  // namespace tsb
