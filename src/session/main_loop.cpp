#include "session/main_loop.hpp"

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <memory>
#include <span>
#include <string_view>
#include <type_traits>

#include "log/log.hpp"
#include "protocol/events.hpp"

namespace tsb {
namespace {

constexpr std::size_t read_buffer_size = 65536;
// Without a process descriptor the loop cannot be woken by the shell's
// exit, so it looks at least this often.
constexpr int exit_check_interval_ms = 50;

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

    Result<void> drain_commands();
    Result<void> handle(BrokerCommand& command);
    void start_input(std::string data);
    void write_pending_input();
    void set_window_size(std::uint16_t cols, std::uint16_t rows, std::string_view context);
    void request_termination(std::string_view context);
    Result<void> check_shell();
    Result<void> wait_and_relay();
    Result<void> relay_without_waiting();
    Result<void> relay_one_read();
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

    // The unwritten rest of the input being written. While it is not empty
    // no further command is taken, so everything after an input still
    // applies only once the whole input has reached the terminal.
    std::string pending_input_;
    std::size_t pending_offset_ = 0;
};

Result<int> Session::run(const std::vector<std::string>& shell, const std::string& cwd) {
    if (auto written = out_.write_json_line(make_ready_event(now_ms(), child_.pid(), shell, cwd));
        !written)
        return fail(written.error());
    read_buffer_ = std::make_unique<char[]>(read_buffer_size);

    for (;;) {
        if (!input_pending()) {
            if (auto drained = drain_commands(); !drained) return fail(drained.error());
        }
        if (auto checked = check_shell(); !checked) return fail(checked.error());
        if (exit_status_ && pty_closed_) return finish();
        if (auto relayed = output_flowing_ ? relay_without_waiting() : wait_and_relay(); !relayed)
            return fail(relayed.error());
    }
}

Result<void> Session::drain_commands() {
    while (!input_pending()) {
        std::optional<BrokerCommand> command = receiver_.try_recv();
        if (!command) break;
        if (auto handled = handle(*command); !handled) return handled;
    }
    return {};
}

Result<void> Session::handle(BrokerCommand& command) {
    return std::visit(
        [this](auto& c) -> Result<void> {
            using T = std::decay_t<decltype(c)>;
            if constexpr (std::is_same_v<T, Connect>) {
                if (c.cols && c.rows) set_window_size(*c.cols, *c.rows, "connect resize failed");
            } else if constexpr (std::is_same_v<T, Input>) {
                start_input(std::move(c.data));
            } else if constexpr (std::is_same_v<T, Resize>) {
                set_window_size(c.cols, c.rows, "resize failed");
            } else if constexpr (std::is_same_v<T, Destroy>) {
                request_termination("destroy failed");
            } else if constexpr (std::is_same_v<T, Ping>) {
                return out_.write_json_line(make_pong_event(c.nonce));
            } else if constexpr (std::is_same_v<T, StdinClosed>) {
                request_termination("stdin closed while killing PTY");
            } else if constexpr (std::is_same_v<T, Signal>) {
                request_termination("failed to kill PTY on " + std::string(c.signal_name));
            }
            return {};
        },
        command);
}

void Session::start_input(std::string data) {
    pending_input_ = std::move(data);
    pending_offset_ = 0;
    write_pending_input();
}

// Writes as much of the pending input as the terminal takes without
// blocking. Blocking here would deadlock against a shell that echoes: it
// stops reading its input while nobody reads its echo.
void Session::write_pending_input() {
    const auto drop = [this](const Error& error) {
        log_error_with("failed to write input into PTY", error);
        pending_input_.clear();
        pending_offset_ = 0;
    };
    while (pending_offset_ < pending_input_.size()) {
        const ssize_t written = ::write(master_.get(), pending_input_.data() + pending_offset_,
                                        pending_input_.size() - pending_offset_);
        if (written > 0) {
            pending_offset_ += static_cast<std::size_t>(written);
        } else if (written == 0) {
            return drop(Error::text("short write to PTY"));
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return;  // the terminal's input queue is full; poll for room
        } else if (errno != EINTR) {
            return drop(Error::last_os());
        }
    }
    pending_input_.clear();
    pending_offset_ = 0;
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

// Sleeps until the terminal has output or room for pending input, a command
// is queued, or the shell ends; then acts on what woke it.
Result<void> Session::wait_and_relay() {
    pollfd fds[3];
    nfds_t count = 0;
    int master_slot = -1, wake_slot = -1, process_slot = -1;

    // Once the terminal has reported the end of its output it stays
    // readable; polling it again would spin.
    short master_events = 0;
    if (!pty_closed_) master_events |= POLLIN;
    if (input_pending()) master_events |= POLLOUT;
    if (master_events != 0) {
        master_slot = static_cast<int>(count);
        fds[count++] = {master_.get(), master_events, 0};
    }
    if (!input_pending()) {
        wake_slot = static_cast<int>(count);
        fds[count++] = {receiver_.wake_fd(), POLLIN, 0};
    }
    if (process_fd_) {
        process_slot = static_cast<int>(count);
        fds[count++] = {process_fd_.get(), POLLIN, 0};
    }
    const int timeout = (exit_status_ || process_fd_) ? -1 : exit_check_interval_ms;

    const int ready = ::poll(fds, count, timeout);
    if (ready < 0) return errno == EINTR ? Result<void>{} : fail(Error::last_os());
    if (ready == 0) return {};

    if (wake_slot >= 0 && fds[wake_slot].revents != 0) receiver_.clear_wake();
    if (process_slot >= 0 && fds[process_slot].revents != 0) exit_check_due_ = true;
    if (master_slot < 0) return {};

    const short revents = fds[master_slot].revents;
    if (revents & POLLNVAL) return fail(Error::text("PTY poll returned POLLNVAL"));
    if (revents & POLLERR) log_message("PTY poll returned POLLERR");
    if (input_pending() && (revents & (POLLOUT | POLLERR | POLLHUP))) write_pending_input();
    if (!pty_closed_ && (revents & (POLLIN | POLLHUP))) return relay_one_read();
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
    output_flowing_ = true;
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
    return exited ? exit_code : 0;
}

}  // namespace

Result<int> main_loop(ChildProcess child, Fd master, const std::vector<std::string>& shell,
                      const std::string& cwd, CommandReceiver receiver, ExitWatch exit_watch) {
    Session session(child, std::move(master), std::move(receiver), exit_watch);
    return session.run(shell, cwd);
}

}  // namespace tsb
