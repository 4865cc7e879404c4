#include "attach/terminal_modes.hpp"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "sys/io.hpp"

namespace tsb::attach {

namespace {

int set_modes(int fd, const termios& modes) {
    int result;
    do {
        // TCSANOW: output already written has been processed with the modes
        // it met, and waiting for a stuck terminal to drain could hang.
        result = ::tcsetattr(fd, TCSANOW, &modes);
    } while (result != 0 && errno == EINTR);
    return result;
}

}  // namespace

std::optional<WindowSize> terminal_size(int fd) {
    winsize size{};
    if (::ioctl(fd, TIOCGWINSZ, &size) != 0 || size.ws_col == 0 || size.ws_row == 0)
        return std::nullopt;
    return WindowSize{size.ws_col, size.ws_row};
}

Result<RawMode> RawMode::enter(int modes_fd, int output_fd) {
    termios saved{};
    if (::tcgetattr(modes_fd, &saved) != 0) return fail(Error::last_os());
    termios raw = saved;
    ::cfmakeraw(&raw);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    if (set_modes(modes_fd, raw) != 0) return fail(Error::last_os());
    return RawMode(modes_fd, output_fd, saved);
}

RawMode::RawMode(RawMode&& other) noexcept
    : modes_fd_(other.modes_fd_),
      output_fd_(other.output_fd_),
      saved_(other.saved_),
      active_(std::exchange(other.active_, false)) {}

void RawMode::restore() noexcept {
    if (!std::exchange(active_, false)) return;
    // As much as the terminal takes now: one that is stuck or gone must not
    // hold the way out.
    (void)write_some(output_fd_, terminal_reset_sequence);
    set_modes(modes_fd_, saved_);
}

}  // namespace tsb::attach
