#pragma once
// The person's terminal in end-to-end tests of terminal-stream-attach: a
// PTY whose slave side is the client's controlling terminal and standard
// streams, and whose master side the test types into and reads. Every wait
// has a deadline, so a broken client fails a test instead of hanging it.

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <regex>
#include <string>
#include <string_view>
#include <vector>

#include "sys/fd.hpp"

namespace tsb::test {

using namespace std::chrono_literals;

// Generous: the suite also runs under sanitizers on busy shared machines.
inline constexpr std::chrono::milliseconds attach_deadline = 30s;

// The person's shell in the tests, whatever the machine's: sh reads no
// start-up file that could stall it.
inline constexpr std::string_view attach_shell = "/bin/sh";

// The built client, started with the environment of the test minus the
// TERMINAL_STREAM_ variables, so that it finds the broker beside it, and
// with SHELL set to attach_shell.
std::vector<std::string> attach_command(std::vector<std::string> args);
std::vector<std::string> attach_environment();

class OuterTerminal {
public:
    OuterTerminal(unsigned short cols = 80, unsigned short rows = 24);
    ~OuterTerminal();
    OuterTerminal(const OuterTerminal&) = delete;
    OuterTerminal& operator=(const OuterTerminal&) = delete;

    // Starts the client with `args` on this terminal, as a session leader
    // with the terminal as its controlling terminal.
    void start(const std::vector<std::string>& args);
    pid_t pid() const { return pid_; }

    void type(std::string_view keys);
    void resize(unsigned short cols, unsigned short rows);
    // The terminal's modes in the form `stty -g` prints.
    std::string modes() const;

    // Reads until the output contains `text` (false on the deadline).
    bool wait_for_output(std::string_view text, std::chrono::milliseconds deadline = attach_deadline);
    // Reads until the output has at least one byte.
    bool wait_for_any_output(std::chrono::milliseconds deadline = attach_deadline);
    // Reads until `pattern` matches the output; its first group.
    std::optional<std::string> wait_for_match(const std::regex& pattern,
                                              std::chrono::milliseconds deadline = attach_deadline);
    // Reads until the client has ended; its wait status.
    std::optional<int> wait_exit(std::chrono::milliseconds deadline = attach_deadline);

    const std::string& output() const { return output_; }

private:
    // Waits up to `timeout` for output or the client's end and takes what
    // came; false when nothing did.
    bool read_some(std::chrono::milliseconds timeout);

    Fd master_, slave_;
    pid_t pid_ = -1;
    Fd pidfd_;
    std::optional<int> status_;
    std::string output_;
};

}  // namespace tsb::test
