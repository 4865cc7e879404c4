#include "attach/relay_loop.hpp"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <optional>
#include <string_view>

#include "protocol/peer.hpp"
#include "sys/io.hpp"

namespace tsb::attach {

namespace {

using Outcome = SessionOutcome;

// The flow-control window the client asks for: enough output in flight to
// keep a fast terminal busy, little enough that ^C after a flood of output
// takes effect soon.
constexpr std::uint32_t flow_window_bytes = 262144;

// The shell's status as a closed event gives it: its exit code, or 128 + N
// when signal N ended it, as shells report a child killed by a signal.
int closed_exit_status(const PeerEvent& event) {
    if (event.exit_code) return *event.exit_code;
    constexpr std::string_view prefix = "signal:";
    const std::string_view reason = event.reason;
    int number = 0;
    if (reason.starts_with(prefix)) {
        const auto [end, error] =
            std::from_chars(reason.data() + prefix.size(), reason.data() + reason.size(), number);
        if (error == std::errc{} && end == reason.data() + reason.size()) return 128 + number;
    }
    return 1;
}

// What one read of the broker's output may bring: the pipe's size, which
// spawn_broker raises where the system allows.
constexpr std::size_t output_read_size = broker_output_pipe_size;

// Output gathered before it is written and acknowledged: a quarter of the
// window, so that the broker reads the terminal again while the rest of a
// window is being written.
constexpr std::size_t output_write_size = flow_window_bytes / 4;

Connect connect_request(std::optional<WindowSize> size) {
    Connect connect{.flow_window = flow_window_bytes};
    if (size) {
        connect.cols = size->cols;
        connect.rows = size->rows;
    }
    return connect;
}

// Writes all of `bytes` to the person's side; gives up (EINTR) once a
// signal asks the session to end, so the loop can end it even while the
// terminal takes nothing.
Result<void> write_local(int fd, std::string_view bytes) {
    return write_all(fd, bytes, ending_signal_arrived);
}

std::string with_carriage_returns(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 8);
    for (const char c : text) {
        if (c == '\n') out.push_back('\r');
        out.push_back(c);
    }
    return out;
}

class Session {
public:
    Session(BrokerChild& broker, SignalPipe& signals, const RawMode& raw, const LocalStreams& local,
            AsciicastRecording* recording)
        : broker_(broker), signals_(signals), raw_(raw), local_(local), recording_(recording) {}

    Outcome run();

private:
    std::optional<Outcome> take_signals();
    std::optional<Outcome> relay_output();
    std::optional<Outcome> apply_event(std::string_view line);
    std::optional<Outcome> relay_keystrokes();
    void relay_diagnostics();
    void send(const std::string& line);
    Outcome local_failed(std::string_view what, const Error& error);

    std::optional<Outcome> write_output();

    BrokerChild& broker_;
    SignalPipe& signals_;
    const RawMode& raw_;
    LocalStreams local_;
    AsciicastRecording* recording_;  // nullptr: none
    WindowSize size_{80, 24};      // as the broker last heard it, for the recording
    std::string events_;           // event text read, from the first line not yet applied
    PeerEvent event_;              // the event being applied, its buffers reused
    std::string output_;           // terminal output of the events applied, not yet written
    bool broker_reading_ = true;   // false once a write to it met EPIPE
    bool acknowledging_ = false;   // the broker confirmed a flow-control window
    std::uint64_t applied_seq_ = 0;  // the last data event taken into output_
    std::uint64_t written_seq_ = 0, acked_seq_ = 0;
};

Outcome Session::run() {
    const std::optional<WindowSize> size = terminal_size(local_.terminal_out);
    if (size) size_ = *size;
    send(notification_line(connect_request(size)));
    for (;;) {
        // The lines of what was done in the last pass, whole.
        if (recording_ != nullptr) recording_->flush();
        pollfd fds[4] = {
            {signals_.fd(), POLLIN, 0},
            {broker_.output.get(), POLLIN, 0},
            {broker_.errors.get(), POLLIN, 0},  // -1 once closed: poll skips it
            {local_.terminal_in, POLLIN, 0},
        };
        if (::poll(fds, 4, -1) < 0) {
            if (errno == EINTR) continue;
            return local_failed("poll", Error::last_os());
        }
        // Signals first: a resize that arrived before a keystroke is sent
        // before it, so the shell sees the new size when it reads the key.
        if (fds[0].revents != 0)
            if (auto end = take_signals()) return *end;
        if (fds[1].revents != 0)
            if (auto end = relay_output()) return *end;
        if (fds[2].revents != 0) relay_diagnostics();
        if (fds[3].revents != 0)
            if (auto end = relay_keystrokes()) return *end;
    }
}

std::optional<Outcome> Session::take_signals() {
    for (const int signal : signals_.take()) {
        if (signal == SIGHUP) return Outcome{.end = Outcome::End::hangup};
        if (signal != SIGWINCH) return Outcome{.end = Outcome::End::signal, .signal = signal};
        if (const auto size = terminal_size(local_.terminal_out)) {
            send(notification_line(Resize{size->cols, size->rows}));
            size_ = *size;
            if (recording_ != nullptr) recording_->resize(size->cols, size->rows);
        }
    }
    return std::nullopt;
}

// The terminal output of the data events one read brings goes out in
// writes of at least output_write_size bytes (or what the read brought),
// each followed by one acknowledgement: per event, small events would cost
// a write and a wake-up of the broker each.
std::optional<Outcome> Session::relay_output() {
    const std::size_t kept = events_.size();
    ssize_t got = 0;
    events_.resize_and_overwrite(kept + output_read_size, [&](char* text, std::size_t) {
        got = ::read(broker_.output.get(), text + kept, output_read_size);
        return kept + static_cast<std::size_t>(std::max<ssize_t>(got, 0));
    });
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) return std::nullopt;
    if (got <= 0) {
        (void)write_output();
        return Outcome{.end = Outcome::End::broker_lost};
    }

    std::size_t start = 0;
    for (std::size_t end; (end = events_.find('\n', start)) != std::string::npos; start = end + 1) {
        if (auto outcome = apply_event(std::string_view(events_).substr(start, end - start))) {
            return outcome;
        }
    }
    events_.erase(0, start);
    return write_output();
}

std::optional<Outcome> Session::write_output() {
    if (!output_.empty()) {
        const Result<void> written = write_local(local_.terminal_out, output_);
        output_.clear();
        if (!written) {
            if (ending_signal_arrived()) return take_signals();
            // A terminal that has hung up refuses output with EIO.
            if (written.error() == Error::os(EIO)) return Outcome{.end = Outcome::End::hangup};
            return local_failed("write", written.error());
        }
    }
    written_seq_ = applied_seq_;
    if (acknowledging_ && written_seq_ > acked_seq_) {
        send(notification_line(Ack{written_seq_}));
        acked_seq_ = written_seq_;
    }
    return std::nullopt;
}

std::optional<Outcome> Session::apply_event(std::string_view line) {
    // A line that is not an event is not the broker's: skip it.
    if (!parse_event(line, event_)) return std::nullopt;
    switch (event_.kind) {
    case PeerEvent::Kind::ready:
        if (recording_ != nullptr) recording_->start({event_.ts, size_.cols, size_.rows, event_.shell});
        break;
    case PeerEvent::Kind::data:
        if (recording_ != nullptr) recording_->output(event_.ts, event_.bytes);
        output_.append(event_.bytes);
        applied_seq_ = event_.seq;
        // A window's worth written and acknowledged in pieces: the broker
        // reads the terminal again while the rest is written.
        if (output_.size() >= output_write_size) return write_output();
        break;
    case PeerEvent::Kind::flow_control:
        // Data events before this one need no acknowledgement.
        acknowledging_ = event_.window > 0;
        acked_seq_ = applied_seq_;
        break;
    case PeerEvent::Kind::closed:
        // Everything the shell wrote is on the terminal before the end.
        if (auto failed = write_output()) return failed;
        if (recording_ != nullptr) recording_->finish();
        return Outcome{.end = Outcome::End::closed, .exit_status = closed_exit_status(event_)};
    default:
        break;
    }
    return std::nullopt;
}

std::optional<Outcome> Session::relay_keystrokes() {
    char buffer[16384];
    const ssize_t got = ::read(local_.terminal_in, buffer, sizeof buffer);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) return std::nullopt;
    // In raw mode a terminal read returns 0 or EIO only when it has hung up.
    if (got == 0 || (got < 0 && errno == EIO)) return Outcome{.end = Outcome::End::hangup};
    if (got < 0) return local_failed("read", Error::last_os());
    const std::string_view keys(buffer, static_cast<std::size_t>(got));
    if (recording_ != nullptr) recording_->input(keys);
    send(notification_line(Input{std::string(keys)}));
    return std::nullopt;
}

void Session::relay_diagnostics() {
    char buffer[4096];
    const ssize_t got = ::read(broker_.errors.get(), buffer, sizeof buffer);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) return;
    if (got <= 0) {
        broker_.errors.reset();
        return;
    }
    const std::string_view text(buffer, static_cast<std::size_t>(got));
    // Raw mode turned off the terminal's own line feed translation.
    const bool needs_returns = raw_.active() && ::isatty(local_.diagnostics) == 1;
    (void)write_local(local_.diagnostics, needs_returns ? with_carriage_returns(text) : std::string(text));
}

void Session::send(const std::string& line) {
    if (!broker_reading_) return;
    // A broker that has gone shows up as EPIPE here and as the end of its
    // output in the loop, which reports it.
    if (!write_all(broker_.input.get(), line)) broker_reading_ = false;
}

Outcome Session::local_failed(std::string_view what, const Error& error) {
    return Outcome{.end = Outcome::End::terminal_lost,
                   .detail = std::string(what) + ": " + error.describe()};
}

}  // namespace

SessionOutcome run_session(BrokerChild& broker, SignalPipe& signals, const RawMode& raw,
                           const LocalStreams& local, AsciicastRecording* recording) {
    return Session(broker, signals, raw, local, recording).run();
}

void relay_remaining_diagnostics(BrokerChild& broker, int diagnostics,
                                 std::chrono::milliseconds deadline) {
    if (!broker.errors) return;
    read_until_end(broker.errors.get(), std::chrono::steady_clock::now() + deadline,
                   [diagnostics](std::string_view text) { (void)write_all(diagnostics, text); });
    broker.errors.reset();
}

}  // namespace tsb::attach
