#include "session/main_loop.hpp"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <deque>
#include <string_view>
#include <type_traits>

#include "log/log.hpp"
#include "protocol/events.hpp"
#include "session/lifecycle.hpp"
#include "session/outbox.hpp"
#include "session/shell_process.hpp"
#include "session/stdin_watch.hpp"
#include "session/terminal_side.hpp"
#include "session/termination_ladder.hpp"

namespace tsb {
namespace {

// What is relayed at most from a terminal that is being abandoned.
constexpr std::size_t abandon_read_limit = 1024 * 1024;

int poll_timeout(Deadline deadline, Clock::time_point now) {
    if (!deadline) return -1;
    if (*deadline <= now) return 0;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - now).count();
    return static_cast<int>(std::min<std::int64_t>(left, 24 * 3600 * 1000));
}

Deadline nearest(Deadline a, Deadline b) {
    if (!a) return b;
    if (!b) return a;
    return std::min(*a, *b);
}

class Session {
public:
    Session(ChildProcess child, Fd master, CommandReceiver receiver, SignalPipe* signals,
            ExitWatch exit_watch)
        : shell_(child, exit_watch),
          ladder_(child.pid()),
          terminal_(std::move(master)),
          receiver_(std::move(receiver)),
          signals_(signals),
          outbox_(STDOUT_FILENO) {}

    Result<int> run(const std::vector<std::string>& shell, const std::string& cwd);

private:
    SessionFacts facts() const;
    Result<void> settle(Clock::time_point now);

    Result<void> take_commands();
    Result<void> apply_held();
    Result<void> apply(ReceivedCommand& received);
    void terminate(const BrokerCommand& command);
    void take_signals();
    Result<void> connect(const Connect& connect);

    Result<void> wait_and_relay();
    Result<void> relay_again();
    Result<void> relay_one_read();
    Result<void> abandon_terminal();
    void write_closed();
    int exit_status() const;

    // The parts: each holds its descriptor and reports facts.
    ShellProcess shell_;
    TerminationLadder ladder_;
    TerminalSide terminal_;
    CommandReceiver receiver_;
    SignalPipe* signals_;
    Outbox outbox_;
    StdinWatch stdin_watch_;
    // What decide() made of the facts at the last look; only settle()
    // changes it.
    SessionState state_;

    // The last read returned output: the terminal most likely has more, so
    // the next pass reads again without asking poll first.
    bool output_flowing_ = false;
    Clock::time_point last_output_ = Clock::now();

    // Commands taken off the channel that wait for their turn: behind an
    // input the terminal has not taken in full, or, for a ping, behind
    // output the peer has not read. Termination requests, signals and acks
    // never wait here.
    std::deque<ReceivedCommand> held_;
};

Result<int> Session::run(const std::vector<std::string>& shell, const std::string& cwd) {
    outbox_.write_line(make_ready_event(now_ms(), shell_.pid(), shell, cwd));

    for (;;) {
        if (auto taken = take_commands(); !taken) return fail(taken.error());
        take_signals();
        const auto now = Clock::now();
        if (auto checked = shell_.check_exit(now); !checked) return fail(checked.error());
        ladder_.act(now, terminal_.fd(), shell_.reaped());
        if (auto settled = settle(now); !settled) return fail(settled.error());
        if (state_.phase == Phase::done) {
            if (outbox_.peer_gone()) return fail(*outbox_.failure());
            return exit_status();
        }

        if (auto relayed = output_flowing_ && state_.may_read ? relay_again() : wait_and_relay(); !relayed)
            return fail(relayed.error());
    }
}

SessionFacts Session::facts() const {
    return {
        .shell_ended_at = shell_.ended_at(),
        .requested_at = ladder_.requested_at(),
        .ladder_climbing = ladder_.climbing(),
        .output_ended = terminal_.output_ended(),
        .hung_up = terminal_.hung_up(),
        .input_pending = terminal_.input_pending(),
        .last_output_at = last_output_,
        .backed_up = outbox_.backed_up(),
        .window_full = outbox_.window_full(),
        .input_held = receiver_.sender_waiting(),
        .stdin_hung_up = stdin_watch_.hung_up(),
        .peer_gone = outbox_.peer_gone(),
        .closed_sent = outbox_.closed_sent(),
    };
}

// Asks decide() where the session stands, and does what that phase asks of
// the loop; each action changes a fact, so the phase moves on.
Result<void> Session::settle(Clock::time_point now) {
    for (;;) {
        state_ = decide(state_, facts(), now);
        if (state_.request_termination) {
            const auto context =
                outbox_.peer_gone() ? "stdout closed while killing PTY" : "stdin closed while killing PTY";
            ladder_.request(now, shell_.reaped(), terminal_.fd(), context);
        } else if (state_.phase == Phase::abandoning) {
            if (auto abandoned = abandon_terminal(); !abandoned) return abandoned;
        } else if (state_.phase == Phase::closing) {
            write_closed();
        } else {
            return {};
        }
    }
}

// Takes everything the readers have sent: termination requests, signals and
// acks act at once, the rest is applied in order as far as it can be.
Result<void> Session::take_commands() {
    while (std::optional<ReceivedCommand> received = receiver_.try_recv_held()) {
        if (is_termination_request(received->command)) {
            terminate(received->command);
        } else if (const ShellSignal* signal = std::get_if<ShellSignal>(&received->command)) {
            shell_.send_signal(signal->number);
        } else if (const Ack* ack = std::get_if<Ack>(&received->command)) {
            outbox_.acknowledge(ack->seq);
        } else {
            held_.push_back(std::move(*received));
        }
    }
    return apply_held();
}

// A ping waits while output is backed up: its pong would only add to what
// waits, and the peer that is not reading would not see it anyway.
Result<void> Session::apply_held() {
    // Nothing is written after the closed line.
    if (state_.phase >= Phase::settling) held_.clear();
    while (!held_.empty() && !terminal_.input_pending()) {
        if (std::holds_alternative<Ping>(held_.front().command) && outbox_.backed_up()) break;
        ReceivedCommand received = std::move(held_.front());
        held_.pop_front();
        if (auto applied = apply(received); !applied) return applied;
    }
    return {};
}

Result<void> Session::apply(ReceivedCommand& received) {
    return std::visit(
        [&](auto& c) -> Result<void> {
            using T = std::decay_t<decltype(c)>;
            if constexpr (std::is_same_v<T, Connect>) {
                return connect(c);
            } else if constexpr (std::is_same_v<T, Input>) {
                terminal_.start_input(std::move(c.data), std::move(received.credit));
            } else if constexpr (std::is_same_v<T, Resize>) {
                terminal_.set_window_size(c.cols, c.rows, "resize failed");
            } else if constexpr (std::is_same_v<T, Ping>) {
                outbox_.write_line(make_pong_event(c.nonce));
            }
            return {};
        },
        received.command);
}

void Session::terminate(const BrokerCommand& command) {
    const auto request = [&](std::string_view context) {
        ladder_.request(Clock::now(), shell_.reaped(), terminal_.fd(), context);
    };
    if (std::holds_alternative<Destroy>(command)) {
        request("destroy failed");
    } else if (std::holds_alternative<StdinClosed>(command)) {
        request("stdin closed while killing PTY");
    } else if (const Signal* signal = std::get_if<Signal>(&command)) {
        request("failed to kill PTY on " + std::string(signal->signal_name));
    }
}

std::string_view signal_name(int number) {
    switch (number) {
    case SIGHUP: return "SIGHUP";
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    default: return "signal";
    }
}

// Signals delivered to the broker ask the shell to end, in the order of
// their numbers when several came at once. Looking at the handler's marks
// costs no system call, so it is done on every pass, also while output
// flows and poll is not asked.
void Session::take_signals() {
    if (signals_ == nullptr) return;
    const auto marked = [](int number) { return signal_marked(number); };
    if (!std::ranges::any_of(termination_signals, marked)) return;
    for (const int number : signals_->take()) terminate(Signal{signal_name(number)});
}

Result<void> Session::connect(const Connect& connect) {
    if (connect.cols && connect.rows)
        terminal_.set_window_size(*connect.cols, *connect.rows, "connect resize failed");
    if (connect.merge_reads) terminal_.set_merge_limit(*connect.merge_reads);
    if (connect.raw_data) outbox_.set_raw_data(*connect.raw_data);
    if (!connect.flow_window) return {};
    outbox_.set_window(*connect.flow_window);
    return {};
}

// Sleeps until one of the parts has something to do (the terminal has
// output the peer has room for, or room for pending input; the peer has room
// for waiting events; a command is queued; the shell ends; the peer hangs
// up standard input while the reader is held) or the nearest
// of the parts' deadlines (the next look for the shell's end, the ladder's
// next step) and decide()'s own; then acts on what woke it.
Result<void> Session::wait_and_relay() {
    pollfd fds[6];
    nfds_t count = 0;
    const auto add = [&](int fd, int events) {
        if (fd < 0 || events < 0) return -1;
        fds[count] = {fd, static_cast<short>(events), 0};
        return static_cast<int>(count++);
    };
    const bool read_allowed = state_.may_read;
    const int terminal_slot = add(terminal_.fd(), terminal_.poll_events(read_allowed));
    const int wake_slot = add(receiver_.wake_fd(), POLLIN);
    const int shell_slot = add(shell_.poll_fd(), POLLIN);
    const int out_slot = add(outbox_.poll_fd(), POLLOUT);
    const int signal_slot = add(signals_ != nullptr ? signals_->fd() : -1, POLLIN);
    const int stdin_slot = add(stdin_watch_.fd(), stdin_watch_.poll_events(receiver_.sender_waiting()));

    const Deadline wake_at = nearest(nearest(shell_.deadline(), ladder_.deadline()), state_.deadline);
    const int ready = ::poll(fds, count, poll_timeout(wake_at, Clock::now()));
    if (ready < 0) return errno == EINTR ? Result<void>{} : fail(Error::last_os());
    if (ready == 0) return {};

    if (wake_slot >= 0 && fds[wake_slot].revents != 0) receiver_.clear_wake();
    if (shell_slot >= 0 && fds[shell_slot].revents != 0) shell_.on_poll_ready();
    // The marks are taken at the start of the next pass.
    if (signal_slot >= 0 && fds[signal_slot].revents != 0) signals_->clear_wake();
    if (out_slot >= 0 && fds[out_slot].revents != 0) outbox_.on_poll_ready();
    if (stdin_slot >= 0) stdin_watch_.on_poll_ready(fds[stdin_slot].revents);
    if (terminal_slot < 0 || fds[terminal_slot].revents == 0) return {};
    Result<bool> readable = terminal_.on_poll_ready(fds[terminal_slot].revents);
    if (!readable) return fail(readable.error());
    if (*readable && read_allowed) return relay_one_read();
    return {};
}

// While output is flowing, the master is read again without asking poll
// first: that saves a system call per chunk, and a read that finds nothing
// sends the loop back to waiting. Commands are still taken at the start of
// every pass, and input still goes in.
Result<void> Session::relay_again() {
    if (terminal_.input_pending()) terminal_.write_pending_input();
    return relay_one_read();
}

Result<void> Session::relay_one_read() {
    output_flowing_ = false;
    Result<std::span<const char>> bytes = terminal_.read_output();
    if (!bytes) return fail(bytes.error());
    if (bytes->empty()) return {};
    outbox_.write_data(*bytes);
    output_flowing_ = true;
    last_output_ = Clock::now();
    return {};
}

// Something still holds the terminal after the shell's end: relay what it
// has ready and close the master, which hangs up whatever holds the slave.
Result<void> Session::abandon_terminal() {
    std::size_t relayed = 0;
    while (!terminal_.output_ended() && relayed < abandon_read_limit) {
        const std::uint64_t seq_before = outbox_.last_seq();
        if (auto read = relay_one_read(); !read) return read;
        if (outbox_.last_seq() == seq_before) break;  // nothing ready, or the end
        relayed += read_buffer_size;
    }
    terminal_.close();
    output_flowing_ = false;
    return {};
}

void Session::write_closed() {
    const int status = *shell_.status();
    const auto exit_code = WIFEXITED(status) ? std::optional<int>(WEXITSTATUS(status)) : std::nullopt;
    outbox_.write_closed(
        make_closed_event(outbox_.last_seq() + 1, now_ms(), exit_code, closed_reason(status, facts())));
}

// A shell ended by a signal gives 0.
int Session::exit_status() const {
    const int status = *shell_.status();
    return WIFEXITED(status) ? WEXITSTATUS(status) : 0;
}

}  // namespace

Result<int> main_loop(ChildProcess child, Fd master, const std::vector<std::string>& shell,
                      const std::string& cwd, CommandReceiver receiver, SignalPipe* signals,
                      ExitWatch exit_watch) {
    Session session(child, std::move(master), std::move(receiver), signals, exit_watch);
    return session.run(shell, cwd);
}

}  // namespace tsb
