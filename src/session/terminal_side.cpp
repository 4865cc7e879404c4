#include "session/terminal_side.hpp"

#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>

#include "log/log.hpp"

namespace tsb {

TerminalSide::TerminalSide(Fd master)
    : master_(std::move(master)), read_buffer_(std::make_unique_for_overwrite<char[]>(read_buffer_size)) {}

void TerminalSide::start_input(std::string data, CommandCredit credit) {
    pending_input_ = std::move(data);
    pending_offset_ = 0;
    pending_credit_ = std::move(credit);
    write_pending_input();
}

// Never blocks: blocking here would deadlock against a shell that echoes,
// as it stops reading its input while nobody reads its echo.
void TerminalSide::write_pending_input() {
    while (input_pending()) {
        if (hung_up_ || !master_) return drop_pending_input();
        const ssize_t written = ::write(master_.get(), pending_input_.data() + pending_offset_,
                                        pending_input_.size() - pending_offset_);
        if (written > 0) {
            pending_offset_ += static_cast<std::size_t>(written);
        } else if (written == 0) {
            log_error_with("failed to write input into PTY", Error::text("short write to PTY"));
            return drop_pending_input();
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return;  // the terminal's input queue is full; poll for room
        } else if (errno != EINTR) {
            log_error_with("failed to write input into PTY", Error::last_os());
            return drop_pending_input();
        }
    }
    drop_pending_input();
}

void TerminalSide::drop_pending_input() {
    pending_input_.clear();
    pending_offset_ = 0;
    pending_credit_ = CommandCredit();  // gives its bytes back to the channel
}

void TerminalSide::set_window_size(std::uint16_t cols, std::uint16_t rows, std::string_view context) {
    if (!master_) return;
    const winsize size{.ws_row = rows, .ws_col = cols, .ws_xpixel = 0, .ws_ypixel = 0};
    if (::ioctl(master_.get(), TIOCSWINSZ, &size) < 0) log_error_with(context, Error::last_os());
}

// Once the terminal has reported the end of its output it stays readable,
// and once the slave is hung up poll reports POLLHUP whatever is asked for:
// from then on the master is polled only when the loop will read it. Before
// that it is polled even with nothing asked, so that a hang-up is seen
// while the peer holds reading back.
int TerminalSide::poll_events(bool may_read) const noexcept {
    if (!master_ || output_ended_) return -1;
    int events = 0;
    if (may_read) events |= POLLIN;
    if (input_pending() && !hung_up_) events |= POLLOUT;
    return events == 0 && hung_up_ ? -1 : events;
}

Result<bool> TerminalSide::on_poll_ready(short revents) {
    if (revents & POLLNVAL) return fail(Error::text("PTY poll returned POLLNVAL"));
    if (revents & POLLERR) log_message("PTY poll returned POLLERR");
    if (revents & POLLHUP) hung_up_ = true;
    if (input_pending() && (revents & (POLLOUT | POLLERR | POLLHUP))) write_pending_input();
    return (revents & (POLLIN | POLLHUP)) != 0;
}

Result<std::span<const char>> TerminalSide::read_output() {
    if (!master_ || output_ended_) return std::span<const char>();
    const std::size_t chunk = merge_limit_ > 0 ? merge_limit_ : read_buffer_size;
    std::size_t got = 0;
    for (;;) {
        const ssize_t n = ::read(master_.get(), read_buffer_.get() + got, chunk - got);
        if (n > 0) {
            got += static_cast<std::size_t>(n);
            if (merge_limit_ > 0 && got < chunk) continue;
            return std::span<const char>(read_buffer_.get(), got);
        }
        // What was read goes first: the end of the output, or an error, is
        // met again by the next read.
        if (got > 0) return std::span<const char>(read_buffer_.get(), got);
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
            return std::span<const char>();
        // Linux reports the hang-up of the last slave descriptor as EIO rather
        // than as an end of file.
        if (n < 0 && errno != EIO) return fail(Error::last_os());
        output_ended_ = true;
        hung_up_ = true;
        drop_pending_input();
        return std::span<const char>();
    }
}

void TerminalSide::close() {
    master_.reset();
    output_ended_ = true;
    hung_up_ = true;
    drop_pending_input();
}

}  // namespace tsb
