// terminal-stream-broker: runs one shell in a pseudo-terminal and relays
// that terminal as JSON lines over standard input and output.
//
// Start-up order: configuration, command channel, the stdin reader thread,
// the signal handlers, the PTY with its shell; then the main thread becomes
// the session's main loop until the shell has ended.

#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <string>
#include <string_view>
#include <vector>

#include "config/config.hpp"
#include "log/log.hpp"
#include "protocol/channel.hpp"
#include "pty/pty.hpp"
#include "readers/stdin_reader.hpp"
#include "session/main_loop.hpp"
#include "sys/io.hpp"
#include "sys/signal_pipe.hpp"

namespace {

// The broker cannot run without its stdin reader.
[[noreturn]] void fatal(std::string_view what, const tsb::Error& error) {
    tsb::log_error_with(what, error);
    ::_exit(101);
}

tsb::ShellLaunch launch_request(const tsb::BrokerConfig& config) {
    return {config.shell, config.cwd, config.term, config.cols, config.rows};
}

}  // namespace

int main(int argc, char** argv) {
    tsb::hold_closed_standard_descriptors();
    // A peer that has gone must show up as EPIPE on the next event, not kill
    // the broker.
    std::signal(SIGPIPE, SIG_IGN);

    std::vector<tsb::Diagnostic> diagnostics;
    tsb::Result<tsb::BrokerConfig> config = tsb::build_config_from_process(argc, argv, diagnostics);
    for (const tsb::Diagnostic& diagnostic : diagnostics) tsb::log_diagnostic(diagnostic);
    if (!config) {
        tsb::log_error_with("invalid shell command line", config.error());
        ::_exit(1);
    }

    auto channel = tsb::make_command_channel();
    if (!channel) {
        tsb::log_error_with("failed to create command channel", channel.error());
        ::_exit(1);
    }
    auto [sender, receiver] = std::move(*channel);

    if (auto started = tsb::spawn_stdin_reader(std::move(sender)); !started)
        fatal("failed to spawn stdin reader thread", started.error());
    // In place before the shell exists: from then on these signals can only
    // ask it to end (the main loop takes them), never end the broker.
    tsb::Result<tsb::SignalPipe> signals = tsb::SignalPipe::install(tsb::termination_signals, /*restart=*/true);
    if (!signals) tsb::log_error_with("failed to register signal handlers", signals.error());

    tsb::Result<tsb::PtyChild> pty = tsb::spawn_pty_child(launch_request(*config));
    if (!pty) {
        tsb::log_error_with("failed to spawn PTY child", pty.error());
        ::_exit(1);
    }

    // The loop must never wait on a peer that does not read while the other
    // side needs it; see make_nonblocking_if_pipe for why only pipes and
    // sockets are switched.
    const int stdout_flags = ::fcntl(STDOUT_FILENO, F_GETFL);
    const bool switched = tsb::make_nonblocking_if_pipe(STDOUT_FILENO);
    const auto exit_watch =
        config->use_pidfd ? tsb::ExitWatch::process_descriptor : tsb::ExitWatch::polling;
    const tsb::Result<int> status =
        tsb::main_loop(pty->child, std::move(pty->master), config->shell, config->cwd, std::move(receiver),
                       signals ? &*signals : nullptr, exit_watch);
    // Whoever else holds this end of the pipe gets it back as it was.
    if (switched) ::fcntl(STDOUT_FILENO, F_SETFL, stdout_flags);
    if (!status) {
        tsb::log_error_with("broker main loop failed", status.error());
        ::_exit(1);
    }
    // The stdin reader is still blocked in its read: end the process
    // without running destructors under it.
    ::_exit(*status);
}
