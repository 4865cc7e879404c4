#pragma once
// The person's terminal while a session runs: raw mode on, and on the way
// out the modes it had before, whatever the remote side switched on.

#include <termios.h>

#include <cstdint>
#include <optional>
#include <string_view>

#include "sys/error.hpp"

namespace tsb::attach {

struct WindowSize {
    std::uint16_t cols = 0;
    std::uint16_t rows = 0;
};

// The size of the terminal on fd; nothing when it reports none (0 x 0).
std::optional<WindowSize> terminal_size(int fd);

// Turns off what a full-screen program may have left on: the alternate
// screen, mouse reporting, bracketed paste, application cursor keys and
// keypad, colours and attributes; shows the cursor.
inline constexpr std::string_view terminal_reset_sequence =
    "\x1b[?1047l"                                              // normal screen, cursor kept
    "\x1b[?1000l\x1b[?1002l\x1b[?1003l\x1b[?1005l\x1b[?1006l\x1b[?1015l"  // mouse
    "\x1b[?1004l"                                              // focus events
    "\x1b[?2004l"                                              // bracketed paste
    "\x1b[?1l\x1b>"                                            // cursor keys, keypad
    "\x1b[m"                                                   // attributes
    "\x1b[?25h";                                               // cursor visible

// Raw mode on one terminal, undone by restore() or the destructor.
// Raw mode here includes ISIG off: ^C, ^Z and ^\ reach the remote shell as
// bytes instead of signalling this process.
class RawMode {
public:
    // Saves the modes of `modes_fd` and switches it to raw mode; the reset
    // sequence goes to `output_fd` on restore.
    static Result<RawMode> enter(int modes_fd, int output_fd);

    RawMode(RawMode&& other) noexcept;
    RawMode& operator=(RawMode&&) = delete;
    RawMode(const RawMode&) = delete;
    ~RawMode() { restore(); }

    bool active() const noexcept { return active_; }
    // Writes the reset sequence and puts the saved modes back. Errors are
    // ignored: a terminal that has gone away has no modes left to restore.
    // Only the first call acts.
    void restore() noexcept;

private:
    RawMode(int modes_fd, int output_fd, const termios& saved)
        : modes_fd_(modes_fd), output_fd_(output_fd), saved_(saved), active_(true) {}

    int modes_fd_;
    int output_fd_;
    termios saved_;
    bool active_;
};

}  // namespace tsb::attach
