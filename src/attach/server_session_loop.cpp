#include "attach/server_session_loop.hpp"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <set>

#include "sys/io.hpp"

namespace tsb::attach {

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Outcome = ServerSessionOutcome;

// A connection that has been quiet this long is asked whether it is still
// there (a ping, which the server answers); one that then stays silent
// this long again is given up: a cable pulled or a machine gone sends
// nothing at all.
constexpr auto quiet_before_ping = 15s;
constexpr auto answer_deadline = 15s;

// Bytes waiting for the socket beyond which no more keys are read.
constexpr std::size_t max_queued_input = 1u << 20;

std::uint64_t wall_clock_ms() {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count());
}

class ServerSession {
public:
    ServerSession(WebSocketClient& socket, const ServerSessionStart& start, SignalPipe& signals,
                  const LocalStreams& local, AsciicastRecording* recording)
        : socket_(socket), role_(start.role), signals_(signals), local_(local), recording_(recording),
          size_(start.size) {}

    Outcome run(const std::vector<ServerMessage>& early);

private:
    std::optional<Outcome> take_signals();
    std::optional<Outcome> relay_from_server();
    std::optional<Outcome> apply(const WebSocketMessage& message);
    std::optional<Outcome> apply(const ServerMessage& message);
    std::optional<Outcome> write_output();
    std::optional<Outcome> relay_keys();
    std::optional<Outcome> keep_alive();
    void follow_terminal_size();
    int poll_timeout_ms() const;
    Outcome ended(Outcome outcome) {
        outcome.viewers = viewers_.size();
        return outcome;
    }
    Outcome lost(std::string detail) { return Outcome{.end = Outcome::End::connection_lost, .detail = std::move(detail)}; }
    Outcome local_failed(std::string_view what, const Error& error) {
        return Outcome{.end = Outcome::End::terminal_lost, .detail = std::string(what) + ": " + error.describe()};
    }

    WebSocketClient& socket_;
    SessionRole role_;
    SignalPipe& signals_;
    LocalStreams local_;
    AsciicastRecording* recording_;  // nullptr: none
    std::optional<WindowSize> size_;  // this terminal's, as the owner last sent it
    std::set<std::string> viewers_;   // every page that came through the owner's links
    std::string output_;             // for the terminal, not yet written
    std::uint64_t shown_seq_ = 0, acked_seq_ = 0;
    bool first_screen_ = true;
    Clock::time_point last_heard_ = Clock::now();
    std::optional<Clock::time_point> ping_sent_;
};

Outcome ServerSession::run(const std::vector<ServerMessage>& early) {
    // A resize while the session was being opened had no one to tell.
    if (role_ == SessionRole::owner) follow_terminal_size();
    for (const ServerMessage& message : early)
        if (auto end = apply(message)) return ended(*end);
    if (auto failed = write_output()) return ended(*failed);
    for (;;) {
        if (recording_ != nullptr) recording_->flush();
        if (auto sent = socket_.flush(); !sent) return ended(lost(sent.error().describe()));
        pollfd fds[3] = {
            {signals_.fd(), POLLIN, 0},
            {socket_.fd(), socket_.poll_events(), 0},
            // Keys wait in the terminal while the server takes in a paste.
            {local_.terminal_in, static_cast<short>(socket_.queued_bytes() < max_queued_input ? POLLIN : 0), 0},
        };
        const int ready = ::poll(fds, 3, poll_timeout_ms());
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) return ended(local_failed("poll", Error::last_os()));
        if (fds[0].revents != 0)
            if (auto end = take_signals()) return ended(*end);
        if (fds[1].revents != 0)
            if (auto end = relay_from_server()) return ended(*end);
        if (fds[2].revents != 0)
            if (auto end = relay_keys()) return ended(*end);
        // After the server's bytes are taken, and also while keys keep
        // coming: they are no word from the server.
        if (auto end = keep_alive()) return ended(*end);
    }
}

std::optional<Outcome> ServerSession::take_signals() {
    for (const int signal : signals_.take()) {
        if (signal == SIGHUP) return Outcome{.end = Outcome::End::hangup};
        // The owner sets the size: a viewer's resize changes nothing there.
        if (signal == SIGWINCH && role_ == SessionRole::owner) follow_terminal_size();
        if (signal != SIGWINCH) return Outcome{.end = Outcome::End::signal, .signal = signal};
    }
    return std::nullopt;
}

void ServerSession::follow_terminal_size() {
    const std::optional<WindowSize> size = terminal_size(local_.terminal_out);
    if (!size || (size_ && size->cols == size_->cols && size->rows == size_->rows)) return;
    size_ = size;
    socket_.send_text(resize_message(size->cols, size->rows));
    if (recording_ != nullptr) recording_->resize(size->cols, size->rows);
}

// Everything one read brings is applied, its output written in one go and
// acknowledged once, by the seq of its last frame.
std::optional<Outcome> ServerSession::relay_from_server() {
    using Received = WebSocketClient::Received;
    const auto received = socket_.receive();
    if (!received) return lost(received.error().describe());
    if (*received == Received::nothing) return std::nullopt;
    last_heard_ = Clock::now();
    ping_sent_.reset();
    for (;;) {
        auto message = socket_.next();
        if (!message) return lost("the server broke the WebSocket protocol: " + message.error().describe());
        if (!*message) break;
        if (auto end = apply(**message)) return end;
    }
    if (auto failed = write_output()) return failed;
    if (*received == Received::ended) return lost("the server closed the connection");
    return std::nullopt;
}

std::optional<Outcome> ServerSession::apply(const WebSocketMessage& message) {
    if (message.opcode == Opcode::close) {
        if (auto failed = write_output()) return failed;
        return lost(close_detail(message.payload));
    }
    if (message.opcode != Opcode::text) return std::nullopt;
    const auto parsed = parse_server_message(message.payload);
    return parsed ? apply(*parsed) : std::nullopt;
}

std::optional<Outcome> ServerSession::apply(const ServerMessage& message) {
    using Kind = ServerMessage::Kind;
    switch (message.kind) {
    case Kind::snapshot:
        // The first screen pushes what the terminal showed (the status
        // line) up into its scrollback; a later one, which brings back a
        // client that fell behind, replaces the screen.
        if (first_screen_) {
            output_ += '\r';
            output_.append(terminal_size(local_.terminal_out).value_or(WindowSize{80, 24}).rows, '\n');
        } else {
            output_ += terminal_reset_sequence;
        }
        output_ += "\x1b[H\x1b[2J";
        first_screen_ = false;
        [[fallthrough]];
    case Kind::output:
        output_ += message.data;
        if (recording_ != nullptr) recording_->output(wall_clock_ms(), message.data);
        shown_seq_ = message.seq;
        break;
    case Kind::size:
        // The owner's resize, which an owner records as it makes it.
        if (recording_ != nullptr && role_ != SessionRole::owner) recording_->resize(message.cols, message.rows);
        break;
    case Kind::sharing:
        viewers_.insert(message.viewers.begin(), message.viewers.end());
        break;
    case Kind::share_ended:
        if (auto failed = write_output()) return failed;
        return Outcome{.end = Outcome::End::share_ended, .detail = message.text};
    case Kind::taken_over:
        if (auto failed = write_output()) return failed;
        return Outcome{.end = Outcome::End::taken_over};
    case Kind::exit:
        if (auto failed = write_output()) return failed;
        return Outcome{.end = Outcome::End::exited, .exit_status = message.exit_status};
    default:
        break;
    }
    return std::nullopt;
}

std::optional<Outcome> ServerSession::write_output() {
    if (!output_.empty()) {
        const Result<void> written = write_all(local_.terminal_out, output_, ending_signal_arrived);
        output_.clear();
        if (!written) {
            if (ending_signal_arrived()) return take_signals();
            if (written.error() == Error::os(EIO)) return Outcome{.end = Outcome::End::hangup};
            return local_failed("write", written.error());
        }
    }
    if (shown_seq_ > acked_seq_) {
        socket_.send_text(ack_message(shown_seq_));
        acked_seq_ = shown_seq_;
    }
    return std::nullopt;
}

std::optional<Outcome> ServerSession::relay_keys() {
    char buffer[16384];
    const ssize_t got = ::read(local_.terminal_in, buffer, sizeof buffer);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) return std::nullopt;
    if (got == 0 || (got < 0 && errno == EIO)) return Outcome{.end = Outcome::End::hangup};
    if (got < 0) return local_failed("read", Error::last_os());
    const std::string_view read(buffer, static_cast<std::size_t>(got));
    const std::size_t leave = read.find(leave_key);
    const std::string_view keys = read.substr(0, leave);
    // A watch link's keys go nowhere: the server would refuse them anyway.
    if (role_ != SessionRole::watch && !keys.empty()) {
        socket_.send_text(input_message(keys));
        if (recording_ != nullptr) recording_->input(keys);
    }
    if (leave == std::string_view::npos) return std::nullopt;
    socket_.send(Opcode::close, close_payload(1000, "left"));
    (void)socket_.flush();
    return Outcome{.end = Outcome::End::left};
}

std::optional<Outcome> ServerSession::keep_alive() {
    const auto now = Clock::now();
    if (ping_sent_ && now - *ping_sent_ >= answer_deadline)
        return lost("no answer from the server in " +
                    std::to_string(std::chrono::duration_cast<std::chrono::seconds>(now - last_heard_).count()) + " s");
    if (!ping_sent_ && now - last_heard_ >= quiet_before_ping) {
        socket_.send(Opcode::ping, "");
        ping_sent_ = now;
    }
    return std::nullopt;
}

int ServerSession::poll_timeout_ms() const {
    const auto due = ping_sent_ ? *ping_sent_ + answer_deadline : last_heard_ + quiet_before_ping;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(due - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, 60000));
}

}  // namespace

std::string close_detail(std::string_view payload) {
    if (payload.size() < 2) return "the server closed the connection";
    const unsigned code = static_cast<unsigned char>(payload[0]) << 8 | static_cast<unsigned char>(payload[1]);
    const std::string_view reason = payload.substr(2);
    return "the server closed the connection (" + std::to_string(code) +
           (reason.empty() ? "" : ": " + std::string(reason)) + ")";
}

ServerSessionOutcome run_server_session(WebSocketClient& socket, ServerSessionStart start, SignalPipe& signals,
                                        const LocalStreams& local, AsciicastRecording* recording) {
    return ServerSession(socket, start, signals, local, recording).run(start.early);
}

}  // namespace tsb::attach
