#include "log/log.hpp"

#include <unistd.h>

#include <mutex>

#include "sys/io.hpp"

namespace tsb {
namespace {

// One lock for the whole process, held for exactly one line, so that lines
// of the two threads never mix.
std::mutex& stderr_lock() {
    static std::mutex lock;
    return lock;
}

void write_line(std::string_view line) {
    std::lock_guard guard(stderr_lock());
    // A closed (or otherwise unwritable) standard error loses the line; a
    // diagnostic must never take the broker down. Standard error may be the
    // same pipe as standard output, made non-blocking: then it waits.
    (void)write_all(STDERR_FILENO, line);
}

std::string format_line(std::string_view message, const Error* error) {
    const std::string description = error != nullptr ? error->describe() : std::string();
    std::string line;
    line.reserve(log_prefix.size() + message.size() + 2 + description.size() + 1);
    line.append(log_prefix).append(message);
    if (error != nullptr) line.append(": ").append(description);
    line.push_back('\n');
    return line;
}

}  // namespace

void log_message(std::string_view message) { write_line(format_line(message, nullptr)); }

void log_error_with(std::string_view context, const Error& error) {
    write_line(format_line(context, &error));
}

void log_diagnostic(const Diagnostic& diagnostic) { write_line(format_diagnostic(diagnostic)); }

std::string format_diagnostic(const Diagnostic& diagnostic) {
    return format_line(diagnostic.message, diagnostic.error ? &*diagnostic.error : nullptr);
}

}  // namespace tsb
