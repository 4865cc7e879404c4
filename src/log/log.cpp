#include "log/log.hpp"

#include <unistd.h>

#include <cerrno>
#include <mutex>

namespace tsb {
namespace {

// One lock for the whole process, held for exactly one line, so that lines
// of the three threads never mix.
std::mutex& stderr_lock() {
    static std::mutex lock;
    return lock;
}

void write_line(std::string_view line) {
    std::lock_guard guard(stderr_lock());
    while (!line.empty()) {
        const ssize_t written = ::write(STDERR_FILENO, line.data(), line.size());
        if (written < 0) {
            if (errno == EINTR) continue;
            // A closed (or otherwise unwritable) standard error loses the
            // line; a diagnostic must never take the broker down.
            return;
        }
        line.remove_prefix(static_cast<std::size_t>(written));
    }
}

}  // namespace

void log_message(std::string_view message) {
    std::string line;
    line.reserve(log_prefix.size() + message.size() + 1);
    line.append(log_prefix).append(message).push_back('\n');
    write_line(line);
}

void log_error_with(std::string_view context, const Error& error) {
    const std::string description = error.describe();
    std::string line;
    line.reserve(log_prefix.size() + context.size() + 2 + description.size() + 1);
    line.append(log_prefix).append(context).append(": ").append(description).push_back('\n');
    write_line(line);
}

std::string escape_peer_text(std::string_view text) {
    static constexpr char hex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        switch (byte) {
        case '\b': out += "\\b"; break;
        case '\t': out += "\\t"; break;
        case '\n': out += "\\n"; break;
        case '\f': out += "\\f"; break;
        case '\r': out += "\\r"; break;
        default:
            if (byte < 0x20 || byte == 0x7F) {
                out += "\\u00";
                out += hex[byte >> 4];
                out += hex[byte & 0x0F];
            } else {
                out += c;
            }
        }
    }
    return out;
}

}  // namespace tsb
