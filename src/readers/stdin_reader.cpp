#include "readers/stdin_reader.hpp"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <string>
#include <string_view>

#include "log/log.hpp"
#include "protocol/notification.hpp"
#include "readers/thread.hpp"
#include "text/utf8.hpp"

namespace tsb {
namespace {

constexpr std::size_t read_buffer_size = 8192;
// The longest line the broker takes, as its documentation states: a peer
// sending one endless line cannot exhaust the broker's memory.
constexpr std::size_t max_line_size = 16 * 1024 * 1024;
// A line buffer grown beyond this by one long line is given back after it,
// so that a single 16 MiB line does not stay allocated for the rest of the
// run; a smaller one is kept, so that a stream of lines of some tens of KiB
// does not allocate a buffer per line.
constexpr std::size_t kept_line_capacity = 128 * 1024;

// Handles one complete line (without its LF); false when the main loop is
// gone and reading should stop.
bool handle_line(std::string_view line, const CommandSender& sender) {
    // A bad line costs that line only: the peer may well send good ones
    // after it, and nothing else about the stream is wrong.
    if (const auto bad = find_invalid_utf8(line)) {
        log_error_with("bad JSON command",
                       Error::text("line is not valid UTF-8 at byte " + std::to_string(*bad)));
        return true;
    }
    if (is_blank(line)) return true;
    ParsedLine parsed = parse_notification(line);
    if (!parsed) {
        log_diagnostic(parsed.error());
        return true;
    }
    if (!*parsed) return true;
    // Waits while the broker holds as much as it may: the peer then finds
    // its pipe full, as with any program that does not read.
    return sender.send_waiting(std::move(**parsed), line.size()).has_value();
}

// Splits new bytes into lines; the LF is searched for only in the bytes
// just read, so a long line costs time in proportion to its length.
class LineSplitter {
public:
    // False when the receiver is gone.
    bool feed(std::string_view bytes, const CommandSender& sender) {
        while (!bytes.empty()) {
            const auto* lf = static_cast<const char*>(std::memchr(bytes.data(), '\n', bytes.size()));
            const auto length = lf == nullptr ? bytes.size() : static_cast<std::size_t>(lf - bytes.data());
            collect(bytes.substr(0, length));
            if (lf == nullptr) return true;
            bytes.remove_prefix(length + 1);
            if (skipping_) {
                skipping_ = false;  // the overlong line ends here
                continue;
            }
            if (!line_.empty() && line_.back() == '\r') line_.pop_back();
            if (!take_line(sender)) return false;
        }
        return true;
    }

    // The bytes after the last LF form a line of their own.
    bool finish(const CommandSender& sender) { return skipping_ || line_.empty() || take_line(sender); }

private:
    // Adds bytes of the current line, unless the line has outgrown the
    // limit: then it costs one diagnostic, and the rest of it, up to its LF,
    // is dropped as it arrives.
    void collect(std::string_view bytes) {
        if (skipping_) return;
        if (bytes.size() <= max_line_size - line_.size()) {
            line_.append(bytes);
            return;
        }
        log_error_with("bad JSON command",
                       Error::text("line longer than " + std::to_string(max_line_size) + " bytes (" +
                                   std::to_string(max_line_size >> 20) + " MiB), skipped up to its end"));
        std::string().swap(line_);
        skipping_ = true;
    }

    bool take_line(const CommandSender& sender) {
        const bool go_on = handle_line(line_, sender);
        if (line_.capacity() > kept_line_capacity) {
            std::string().swap(line_);
        } else {
            line_.clear();
        }
        return go_on;
    }

    std::string line_;
    bool skipping_ = false;
};

enum class ReadEnd { input_closed, receiver_gone };

// Waits until `fd` can be read. Standard input may come non-blocking: the
// flag belongs to the open file description, which the peer's side (or a
// runtime there) shares and may have set. The flag is left as it is.
Result<void> wait_readable(int fd) {
    pollfd readable{fd, POLLIN, 0};
    while (::poll(&readable, 1, -1) < 0) {
        if (errno != EINTR) return fail(Error::last_os());
    }
    return {};
}

ReadEnd read_lines(int fd, const CommandSender& sender) {
    char buffer[read_buffer_size];
    LineSplitter splitter;
    while (true) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                if (auto waited = wait_readable(fd); !waited) {
                    log_error_with("stdin read failed", waited.error());
                    return ReadEnd::input_closed;
                }
                continue;
            }
            // A standard input that was never open is simply no input.
            if (errno != EBADF) log_error_with("stdin read failed", Error::last_os());
            return ReadEnd::input_closed;
        }
        if (n == 0) {
            return splitter.finish(sender) ? ReadEnd::input_closed : ReadEnd::receiver_gone;
        }
        if (!splitter.feed(std::string_view(buffer, static_cast<std::size_t>(n)), sender))
            return ReadEnd::receiver_gone;
    }
}

}  // namespace

void run_stdin_reader(int fd, CommandSender sender) {
    ReadEnd end = ReadEnd::input_closed;
    // Whatever stops the reading (running out of memory above all), the
    // main loop must learn that input has ended: otherwise nobody could end
    // the shell through standard input any more.
    try {
        end = read_lines(fd, sender);
    } catch (const std::exception& error) {
        log_error_with("stdin read failed", Error::text(error.what()));
    }
    if (end == ReadEnd::input_closed) {
        // Whether the main loop still listens does not matter any more.
        try {
            (void)sender.send(StdinClosed{});
        } catch (const std::exception&) {
            // Out of memory for the last command too: nothing left to try.
        }
    }
}

Result<void> spawn_stdin_reader(CommandSender sender) {
    return spawn_named_thread("terminal-stream-stdin-reader",
                              [sender = std::move(sender)]() mutable {
                                  run_stdin_reader(STDIN_FILENO, std::move(sender));
                              });
}

}  // namespace tsb
