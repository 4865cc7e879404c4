#pragma once
// Error values shared by every module: an operating-system error number, or
// a fixed text. Errors travel upward as values (std::expected) and are
// rendered once, when a diagnostic line is written.

#include <expected>
#include <optional>
#include <string>
#include <string_view>

namespace tsb {

class Error {
public:
    // An error captured from a failed system call; renders in the system
    // form, "No such file or directory (os error 2)".
    static Error os(int errno_value);
    // The same number rendered in the symbolic form, "ESRCH: No such
    // process"; used for failures to signal the shell and to open the PTY.
    static Error symbolic(int errno_value);
    // Shorthand for os(errno) right after a failed call.
    static Error last_os();
    // An error that is not an OS error: parse errors, fixed texts.
    static Error text(std::string message);

    // The error's one-line description, as a diagnostic line shows it.
    std::string describe() const;

    friend bool operator==(const Error&, const Error&) = default;

private:
    enum class Kind { os, symbolic, text };
    Error(Kind kind, int code, std::string message)
        : kind_(kind), code_(code), message_(std::move(message)) {}

    Kind kind_;
    int code_;
    std::string message_;
};

template <typename T>
using Result = std::expected<T, Error>;

// Shorthand for returning a failure: `return fail(Error::last_os());`
inline std::unexpected<Error> fail(Error error) { return std::unexpected<Error>(std::move(error)); }

// A diagnostic line not yet written: "{message}" alone, or
// "{message}: {error}". Parsers and the configuration return these; the one
// caller that decides a line is due writes it through the log.
struct Diagnostic {
    std::string message;
    std::optional<Error> error;

    friend bool operator==(const Diagnostic&, const Diagnostic&) = default;
};

}  // namespace tsb
