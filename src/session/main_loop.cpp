#include "session/main_loop.hpp"

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <deque>
#include <memory>
#include <span>
#include <string_view>
#include <type_traits>

#include "log/log.hpp"
#include "protocol/events.hpp"

namespace tsb {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t read_buffer_size = 65536;
// Without a process descriptor the loop cannot be woken by the shell's
// exit, so it looks at least this often.
constexpr int exit_check_interval_ms = 50;
// While more event bytes than this wait for the peer to read them, the
// terminal is not read: the program on it is held back by the kernel, and
// what the broker holds stays small. Two full reads' worth of lines.
constexpr std::size_t max_waiting_output = 192 * 1024;
// Once the shell is gone and its end was asked for, the terminal is given
// this long to report the end of its output (the kernel hands the last
// bytes to the master a moment after the writer has gone). If something
// else still holds it open, the broker stops waiting for it.
constexpr auto abandon_grace = std::chrono::milliseconds(200);
// What is relayed at most from a terminal that is being abandoned.
constexpr std::size_t abandon_read_limit = 1024 * 1024;

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

// Data events the peer has not acknowledged yet, while it uses a window.
class FlowWindow {
public:
    bool on() const noexcept { return window_ > 0; }
    bool full() const noexcept { return on() && unacked_bytes_ >= window_; }

    // Events sent before the window changes need no acknowledgement.
    void set(std::uint32_t window) {
        window_ = window;
        unacked_.clear();
        unacked_bytes_ = 0;
    }
    void sent(std::uint64_t seq, std::size_t bytes) {
        if (!on()) return;
        unacked_.push_back({seq, bytes});
        unacked_bytes_ += bytes;
    }
    void acknowledged(std::uint64_t seq) {
        while (!unacked_.empty() && unacked_.front().seq <= seq) {
            unacked_bytes_ -= unacked_.front().bytes;
            unacked_.pop_front();
        }
    }

private:
    struct Sent {
        std::uint64_t seq;
        std::size_t bytes;
    };
    std::uint32_t window_ = 0;
    std::deque<Sent> unacked_;
    std::size_t unacked_bytes_ = 0;
};

class Session {
public:
    Session(ChildProcess child, Fd master, CommandReceiver receiver, ExitWatch exit_watch)
        : child_(child),
          master_(std::move(master)),
          receiver_(std::move(receiver)),
          process_fd_(open_process_descriptor(child.pid(), exit_watch)),
          out_(STDOUT_FILENO) {}

    Result<int> run(const std::vector<std::string>& shell, const std::string& cwd);

private:
    bool input_pending() const noexcept { return !pending_input_.empty(); }
    bool output_backed_up() const noexcept { return out_.pending() > max_waiting_output; }
    bool may_read() const noexcept { return !pty_closed_ && !output_backed_up() && !flow_.full(); }

    Result<void> take_commands();
    Result<void> apply_held();
    Result<void> apply(ReceivedCommand& received);
    void terminate(const BrokerCommand& command);
    void acknowledge(const Ack& ack);
    Result<void> connect(const Connect& connect);
    void start_input(ReceivedCommand& received);
    void write_pending_input();
    void end_pending_input();
    void set_window_size(std::uint16_t cols, std::uint16_t rows, std::string_view context);
    void request_termination(std::string_view context);
    Result<void> check_shell();
    int poll_timeout() const;
    Result<void> wait_and_relay();
    Result<void> relay_without_waiting();
    Result<void> relay_one_read();
    Result<void> abandon_terminal();
    Result<int> finish();

    ChildProcess child_;
    Fd master_;
    CommandReceiver receiver_;
    Fd process_fd_;
    EventWriter out_;
    std::unique_ptr<char[]> read_buffer_;

    std::uint64_t seq_ = 0;
    bool pty_closed_ = false;
    bool kill_sent_ = false;
    std::optional<int> exit_status_;
    // With a process descriptor the shell is asked for its status only when
    // the descriptor says it has ended (and once at the start).
    bool exit_check_due_ = true;
    // The last read returned output: the terminal most likely has more.
    bool output_flowing_ = false;
    // Set once the shell is gone and its end was asked for.
    std::optional<Clock::time_point> abandon_at_;
    FlowWindow flow_;

    // Commands taken off the channel that wait for their turn: behind an
    // input the terminal has not taken in full, or, for a ping, behind
    // output the peer has not read. Termination requests and acks never
    // wait here.
    std::deque<ReceivedCommand> held_;
    // The unwritten rest of the input being written, and its credit.
    std::string pending_input_;
    std::size_t pending_offset_ = 0;
    CommandCredit pending_credit_;
};

Result<int> Session::run(const std::vector<std::string>& shell, const std::string& cwd) {
    if (auto written = out_.write_json_line(make_ready_event(now_ms(), child_.pid(), shell, cwd));
        !written)
        return fail(written.error());
    read_buffer_ = std::make_unique<char[]>(read_buffer_size);

    for (;;) {
        if (auto taken = take_commands(); !taken) return fail(taken.error());
        if (auto checked = check_shell(); !checked) return fail(checked.error());
        if (exit_status_ && kill_sent_ && !pty_closed_ && !abandon_at_)
            abandon_at_ = Clock::now() + abandon_grace;
        if (abandon_at_ && !pty_closed_ && Clock::now() >= *abandon_at_) {
            if (auto abandoned = abandon_terminal(); !abandoned) return fail(abandoned.error());
        }
        if (exit_status_ && pty_closed_) return finish();
        const bool read_on = output_flowing_ && may_read();
        if (auto relayed = read_on ? relay_without_waiting() : wait_and_relay(); !relayed)
            return fail(relayed.error());
    }
}

// Takes everything the readers have sent: termination requests and acks act
// at once, the rest is applied in order as far as it can be.
Result<void> Session::take_commands() {
    while (std::optional<ReceivedCommand> received = receiver_.try_recv_held()) {
        if (is_termination_request(received->command)) {
            terminate(received->command);
        } else if (const Ack* ack = std::get_if<Ack>(&received->command)) {
            acknowledge(*ack);
        } else {
            held_.push_back(std::move(*received));
        }
    }
    return apply_held();
}

// A ping waits while output is backed up: its pong would only add to what
// waits, and the peer that is not reading would not see it anyway.
Result<void> Session::apply_held() {
    while (!held_.empty() && !input_pending()) {
        if (std::holds_alternative<Ping>(held_.front().command) && output_backed_up()) break;
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
                start_input(received);
            } else if constexpr (std::is_same_v<T, Resize>) {
                set_window_size(c.cols, c.rows, "resize failed");
            } else if constexpr (std::is_same_v<T, Ping>) {
                return out_.write_json_line(make_pong_event(c.nonce));
            }
            return {};
        },
        received.command);
}

void Session::terminate(const BrokerCommand& command) {
    if (std::holds_alternative<Destroy>(command)) {
        request_termination("destroy failed");
    } else if (std::holds_alternative<StdinClosed>(command)) {
        request_termination("stdin closed while killing PTY");
    } else if (const Signal* signal = std::get_if<Signal>(&command)) {
        request_termination("failed to kill PTY on " + std::string(signal->signal_name));
    }
}

void Session::acknowledge(const Ack& ack) {
    if (ack.seq > seq_) {
        log_message("bad terminal.ack: seq " + std::to_string(ack.seq) + " has not been sent (last " +
                    std::to_string(seq_) + ")");
        return;
    }
    flow_.acknowledged(ack.seq);
}

Result<void> Session::connect(const Connect& connect) {
    if (connect.cols && connect.rows)
        set_window_size(*connect.cols, *connect.rows, "connect resize failed");
    if (!connect.flow_window) return {};
    flow_.set(*connect.flow_window);
    return out_.write_json_line(make_flow_control_event(*connect.flow_window));
}

void Session::start_input(ReceivedCommand& received) {
    pending_input_ = std::move(std::get<Input>(received.command).data);
    pending_offset_ = 0;
    pending_credit_ = std::move(received.credit);
    write_pending_input();
}

// Writes as much of the pending input as the terminal takes without
// blocking. Blocking here would deadlock against a shell that echoes: it
// stops reading its input while nobody reads its echo.
void Session::write_pending_input() {
    const auto done = [this] { end_pending_input(); };
    while (pending_offset_ < pending_input_.size()) {
        const ssize_t written = ::write(master_.get(), pending_input_.data() + pending_offset_,
                                        pending_input_.size() - pending_offset_);
        if (written > 0) {
            pending_offset_ += static_cast<std::size_t>(written);
        } else if (written == 0) {
            log_error_with("failed to write input into PTY", Error::text("short write to PTY"));
            return done();
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return;  // the terminal's input queue is full; poll for room
        } else if (errno != EINTR) {
            log_error_with("failed to write input into PTY", Error::last_os());
            return done();
        }
    }
    done();
}

void Session::end_pending_input() {
    pending_input_.clear();
    pending_offset_ = 0;
    pending_credit_ = CommandCredit();  // gives its bytes back to the channel
}

void Session::set_window_size(std::uint16_t cols, std::uint16_t rows, std::string_view context) {
    const winsize size{.ws_row = rows, .ws_col = cols, .ws_xpixel = 0, .ws_ypixel = 0};
    if (::ioctl(master_.get(), TIOCSWINSZ, &size) < 0) log_error_with(context, Error::last_os());
}

void Session::request_termination(std::string_view context) {
    // Once the shell has been reaped its process id may already belong to
    // another process: it must not be signalled any more.
    if (!child_.reaped() && ::kill(child_.pid(), SIGTERM) < 0)
        log_error_with(context, Error::symbolic(errno));
    kill_sent_ = true;
}

Result<void> Session::check_shell() {
    if (exit_status_ || !exit_check_due_) return {};
    if (process_fd_) exit_check_due_ = false;
    Result<std::optional<int>> status = child_.try_wait();
    if (!status) return fail(status.error());
    exit_status_ = *status;
    if (exit_status_) process_fd_.reset();  // it would stay readable forever
    return {};
}

int Session::poll_timeout() const {
    int timeout = (exit_status_ || process_fd_) ? -1 : exit_check_interval_ms;
    if (abandon_at_) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(*abandon_at_ - Clock::now());
        const int left_ms = static_cast<int>(std::max<std::int64_t>(0, left.count()));
        timeout = timeout < 0 ? left_ms : std::min(timeout, left_ms);
    }
    return timeout;
}

// Sleeps until the terminal has output (and the peer room for it) or room
// for pending input, the peer has room for waiting events, a command is
// queued, or the shell ends; then acts on what woke it.
Result<void> Session::wait_and_relay() {
    pollfd fds[4];
    nfds_t count = 0;
    const auto add = [&](int fd, short events) {
        fds[count] = {fd, events, 0};
        return static_cast<int>(count++);
    };

    // Once the terminal has reported the end of its output it stays
    // readable; polling it again would spin.
    short master_events = 0;
    if (may_read()) master_events |= POLLIN;
    if (input_pending()) master_events |= POLLOUT;
    const int master_slot = master_events != 0 ? add(master_.get(), master_events) : -1;
    const int wake_slot = add(receiver_.wake_fd(), POLLIN);
    const int process_slot = process_fd_ ? add(process_fd_.get(), POLLIN) : -1;
    const int out_slot = out_.pending() > 0 ? add(out_.fd(), POLLOUT) : -1;

    const int ready = ::poll(fds, count, poll_timeout());
    if (ready < 0) return errno == EINTR ? Result<void>{} : fail(Error::last_os());
    if (ready == 0) return {};

    if (fds[wake_slot].revents != 0) receiver_.clear_wake();
    if (process_slot >= 0 && fds[process_slot].revents != 0) exit_check_due_ = true;
    // POLLERR or POLLHUP on standard output: the write says what happened.
    if (out_slot >= 0 && fds[out_slot].revents != 0) {
        if (auto flushed = out_.flush(); !flushed) return flushed;
    }
    if (master_slot < 0) return {};

    const short revents = fds[master_slot].revents;
    if (revents & POLLNVAL) return fail(Error::text("PTY poll returned POLLNVAL"));
    if (revents & POLLERR) log_message("PTY poll returned POLLERR");
    if (input_pending() && (revents & (POLLOUT | POLLERR | POLLHUP))) write_pending_input();
    if (may_read() && (revents & (POLLIN | POLLHUP))) return relay_one_read();
    return {};
}

// While output is flowing, the master is read again without asking poll
// first: that saves a system call per chunk, and a read that finds nothing
// (EAGAIN) sends the loop back to waiting. Commands are still taken at the
// start of every pass.
Result<void> Session::relay_without_waiting() {
    if (input_pending()) write_pending_input();
    return relay_one_read();
}

Result<void> Session::relay_one_read() {
    output_flowing_ = false;
    const ssize_t n = ::read(master_.get(), read_buffer_.get(), read_buffer_size);
    if (n < 0) {
        if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) return {};
        // Linux reports the hang-up of the last slave descriptor as EIO
        // rather than as an end of file.
        if (errno == EIO) {
            pty_closed_ = true;
            return {};
        }
        return fail(Error::last_os());
    }
    if (n == 0) {
        pty_closed_ = true;
        return {};
    }
    ++seq_;
    const std::span<const char> bytes(read_buffer_.get(), static_cast<std::size_t>(n));
    if (auto written = out_.write_data_event(seq_, now_ms(), bytes); !written) return written;
    flow_.sent(seq_, bytes.size());
    output_flowing_ = true;
    return {};
}

// The shell is gone and its end was asked for, but something else still
// holds the terminal open: relay what it has ready and close the master,
// which hangs up whatever holds the other side.
Result<void> Session::abandon_terminal() {
    std::size_t relayed = 0;
    while (!pty_closed_ && relayed < abandon_read_limit) {
        const std::uint64_t seq_before = seq_;
        if (auto read = relay_one_read(); !read) return read;
        if (seq_ == seq_before) break;  // nothing ready, or the end
        relayed += read_buffer_size;
    }
    pty_closed_ = true;
    output_flowing_ = false;
    master_.reset();
    // Input for a terminal that is gone goes nowhere.
    end_pending_input();
    held_.clear();
    return {};
}

Result<int> Session::finish() {
    const int status = *exit_status_;
    const bool exited = WIFEXITED(status);
    const int exit_code = exited ? WEXITSTATUS(status) : 0;

    std::string reason;
    if (WIFSIGNALED(status))
        reason = "signal:" + std::to_string(WTERMSIG(status));
    else
        reason = kill_sent_ ? "terminated" : "exited";

    const auto closed = make_closed_event(seq_ + 1, now_ms(),
                                          exited ? std::optional<int>(exit_code) : std::nullopt,
                                          reason);
    if (auto written = out_.write_json_line(closed); !written) return fail(written.error());
    if (auto flushed = out_.flush_all(); !flushed) return fail(flushed.error());
    return exited ? exit_code : 0;
}

}  // namespace

Result<int> main_loop(ChildProcess child, Fd master, const std::vector<std::string>& shell,
                      const std::string& cwd, CommandReceiver receiver, ExitWatch exit_watch) {
    Session session(child, std::move(master), std::move(receiver), exit_watch);
    return session.run(shell, cwd);
}

}  // namespace tsb
