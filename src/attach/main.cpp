// terminal-stream-attach: a person's terminal relayed through the broker.
// Starts the broker as a child, puts the local terminal in raw mode, and
// bridges keystrokes, output and resizes until the shell ends; exits with
// the shell's status. With --join LINK, shows a session that the browser
// terminal's server shares instead, as the link grants it; with --server
// URL, opens a session on that server as its owner, and shares it.
//
// Once the terminal is in raw mode, every way out goes through finish(),
// which restores the terminal before anything else is written to it; the
// ways out before that (usage, no terminal, no broker) have nothing to
// restore.

#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "attach/asciicast_recording.hpp"
#include "attach/broker_child.hpp"
#include "attach/options.hpp"
#include "attach/relay_loop.hpp"
#include "attach/server_session_loop.hpp"
#include "attach/session_opening.hpp"
#include "attach/signals.hpp"
#include "attach/terminal_modes.hpp"
#include "sys/io.hpp"

namespace {

using namespace std::chrono_literals;
using namespace tsb::attach;

// How long the client waits for a session it ends to be over: the
// broker's termination ladder ends any shell within about 5 s.
constexpr auto broker_grace = 6000ms;
// How long the broker's last diagnostics may take to arrive.
constexpr auto diagnostics_grace = 2000ms;
// How long connecting to a shared session and hearing what it is may take.
constexpr auto join_timeout = 15000ms;

void say(std::string_view message) {
    const std::string line = "terminal-stream-attach: " + std::string(message) + "\n";
    (void)tsb::write_all(STDERR_FILENO, line);
}

std::string describe_wait_status(int status) {
    if (WIFSIGNALED(status)) return "killed by signal " + std::to_string(WTERMSIG(status));
    return "exit status " + std::to_string(WEXITSTATUS(status));
}

std::string describe_broker_end(const std::optional<int>& status) {
    if (!status) return "still running; it ends the session itself";
    return describe_wait_status(*status);
}

int finish(const SessionOutcome& outcome, BrokerChild& broker, RawMode& raw) {
    raw.restore();
    using End = SessionOutcome::End;
    if (outcome.end == End::closed) {
        relay_remaining_diagnostics(broker, STDERR_FILENO, diagnostics_grace);
        wait_broker(broker);
        return outcome.exit_status;
    }
    if (outcome.end == End::hangup) {
        // Nobody is left to read anything: hang the session up and go.
        hang_up_broker(broker);
        return 128 + SIGHUP;
    }
    // Every other way out ends the session as a closed terminal would, and
    // waits for it to be over, so that the broker's last words are seen.
    const std::optional<int> broker_status = end_broker(broker, broker_grace);
    relay_remaining_diagnostics(broker, STDERR_FILENO, diagnostics_grace);
    switch (outcome.end) {
    case End::signal:
        die_by_signal(outcome.signal);
    case End::broker_lost:
        say("the broker ended without a closed line (" + describe_broker_end(broker_status) + ")");
        break;
    case End::terminal_lost:
        say("the terminal failed (" + outcome.detail + ")");
        break;
    case End::closed:
    case End::hangup:
        break;
    }
    return 1;
}

// The recording, if asked for: created before anything starts, so that a
// name that cannot be used is said at once.
std::optional<tsb::Result<AsciicastRecording>> open_recording(const AttachOptions& options) {
    if (options.record.empty()) return std::nullopt;
    const char* term = std::getenv("TERM");
    // The broker gives the shell this TERM when the environment has none.
    return AsciicastRecording::create(
        options.record, {.limit_bytes = options.record_limit,
                         .input = options.record_input,
                         .term = term != nullptr && *term != '\0' ? term : "xterm-256color"});
}

void report_recording(const AttachOptions& options, const AsciicastRecording& recording) {
    if (recording.cut_short()) say("the recording " + options.record + " ended early: " + *recording.cut_short());
}

// How a session on the server ended, said once the terminal is restored.
// `session`: the id of the owner's session, which a leave leaves running.
int finish_server_session(const ServerSessionOutcome& outcome, RawMode& raw, std::string_view session) {
    raw.restore();
    using End = ServerSessionOutcome::End;
    // The session's cursor may be anywhere on its line: the last word starts on one of its own.
    if (outcome.end != End::exited && outcome.end != End::hangup) (void)tsb::write_all(STDERR_FILENO, "\n");
    if (outcome.viewers > 0) say(std::to_string(outcome.viewers) + " page(s) came through the session's links");
    switch (outcome.end) {
    case End::left:
        if (session.empty()) {
            say("left the session");
        } else {
            say("left the session " + std::string(session) + " running on the server, detached, until the server "
                "hangs it up (its links stay valid until then); --resume " + std::string(session) + " takes it back");
        }
        return 0;
    case End::exited:
        return outcome.exit_status;
    case End::share_ended:
        say(outcome.detail);
        return 1;
    case End::taken_over:
        say("the session was taken over by another page");
        return 1;
    case End::connection_lost:
        say((session.empty() ? "lost the shared session: " : "lost the session: ") + outcome.detail);
        return 1;
    case End::terminal_lost:
        say("the terminal failed (" + outcome.detail + ")");
        return 1;
    case End::hangup:
        return 128 + SIGHUP;
    case End::signal:
        die_by_signal(outcome.signal);
    }
    return 1;
}

// The session on the server, once what it is has been said: raw mode, the
// loop, and its end.
int run_on_server(const AttachOptions& options, WebSocketClient& socket, ServerSessionStart start,
                  const RecordingStart& recording_start, AsciicastRecording* recorder,
                  std::string_view session) {
    auto signals = install_signals();
    if (!signals) {
        say("cannot install signal handlers: " + signals.error().describe());
        return 1;
    }
    auto raw = RawMode::enter(STDIN_FILENO, STDOUT_FILENO);
    if (!raw) {
        say("cannot switch the terminal to raw mode: " + raw.error().describe());
        return 1;
    }
    if (recorder != nullptr) recorder->start(recording_start);
    const LocalStreams local{STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO};
    const ServerSessionOutcome outcome = run_server_session(socket, std::move(start), *signals, local, recorder);
    if (recorder != nullptr) recorder->finish();
    const int status = finish_server_session(outcome, *raw, session);
    if (recorder != nullptr) report_recording(options, *recorder);
    return status;
}

// A shared session: connected and told what the link grants before the
// terminal goes raw, so that a refusal is a plain line.
int join(const AttachOptions& options, AsciicastRecording* recorder) {
    const ShareLink& link = *options.join;
    // TLS writes to the socket itself, where a server gone away would raise SIGPIPE.
    ::signal(SIGPIPE, SIG_IGN);
    auto socket = WebSocketClient::connect(link.server, link.socket_target(), join_timeout);
    if (!socket) {
        say("cannot join the session at " + link.server.authority + ": " + socket.error().describe());
        return 1;
    }
    auto watching = await_watching(*socket, join_timeout);
    if (!watching) {
        say("cannot join the session at " + link.server.authority + ": " + watching.error().describe());
        return 1;
    }
    say(join_status_line(*watching, terminal_size(STDOUT_FILENO)));
    const SessionRole role = watching->mode == "control" ? SessionRole::control : SessionRole::watch;
    // A viewer has no shell program of its own to name.
    return run_on_server(options, *socket, {.role = role}, {.ts = 0, .cols = watching->cols, .rows = watching->rows, .shell = ""},
                         recorder, "");
}

// What viewers are told the owner is called: the login name.
std::string login_name() {
    const passwd* entry = ::getpwuid(::getuid());
    return entry != nullptr && entry->pw_name != nullptr ? entry->pw_name : "";
}

// A session of its own on the browser terminal's server, as the owner's
// page: its links said before the terminal goes raw, so that the person
// can hand them on.
int own_on_server(const AttachOptions& options, AsciicastRecording* recorder) {
    const ServerPage& page = *options.server;
    ::signal(SIGPIPE, SIG_IGN);
    const WindowSize size = terminal_size(STDOUT_FILENO).value_or(WindowSize{80, 24});
    const std::string target = page.socket_target(size.cols, size.rows, options.target, options.resume);
    auto socket = WebSocketClient::connect(page.server, target, join_timeout);
    if (!socket) {
        say("cannot open a session at " + page.server.authority + ": " + socket.error().describe());
        return 1;
    }
    auto owned = open_owned_session(*socket, options.share, login_name(), join_timeout);
    if (!owned) {
        say("cannot open a session at " + page.server.authority + ": " + owned.error().describe());
        return 1;
    }
    for (const std::string& line : owner_status_lines(*owned, page.server.origin())) say(line);
    return run_on_server(options, *socket, {.role = SessionRole::owner, .size = size, .early = std::move(owned->early)},
                         {.ts = 0, .cols = size.cols, .rows = size.rows, .shell = ""}, recorder, owned->session.text);
}

}  // namespace

int main(int argc, char** argv) {
    tsb::hold_closed_standard_descriptors();
    const std::vector<std::string> args(argv + 1, argv + argc);
    const auto options = parse_attach_options(
        args, {std::getenv("TERMINAL_STREAM_BROKER"), std::getenv("SHELL"), sibling_broker_path()});
    if (!options) {
        say(options.error());
        (void)tsb::write_all(STDERR_FILENO, attach_usage);
        return 2;
    }
    if (options->help) {
        (void)tsb::write_all(STDOUT_FILENO, attach_usage);
        return 0;
    }
    if (::isatty(STDIN_FILENO) != 1 || ::isatty(STDOUT_FILENO) != 1) {
        say("standard input and standard output must be a terminal");
        return 2;
    }

    auto recording = open_recording(*options);
    if (recording && !*recording) {
        say("cannot create the recording " + options->record + ": " + recording->error().describe());
        return 1;
    }
    AsciicastRecording* recorder = recording ? &**recording : nullptr;
    if (options->join) return join(*options, recorder);
    if (options->server) return own_on_server(*options, recorder);

    auto signals = install_signals();
    if (!signals) {
        say("cannot install signal handlers: " + signals.error().describe());
        return 1;
    }
    auto broker = spawn_broker(options->broker, options->shell);
    if (!broker) {
        say("cannot start the broker " + options->broker + ": " + broker.error().describe());
        return 1;
    }
    auto raw = RawMode::enter(STDIN_FILENO, STDOUT_FILENO);
    if (!raw) {
        end_broker(*broker, broker_grace);
        say("cannot switch the terminal to raw mode: " + raw.error().describe());
        return 1;
    }

    const LocalStreams local{STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO};
    const SessionOutcome outcome = run_session(*broker, *signals, *raw, local, recorder);
    if (recorder != nullptr) recorder->finish();
    const int status = finish(outcome, *broker, *raw);
    if (recorder != nullptr) report_recording(*options, *recorder);
    return status;
}
