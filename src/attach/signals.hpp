#pragma once
// The signals the attach client reacts to: SIGWINCH (the terminal was
// resized) and SIGHUP, SIGINT, SIGQUIT, SIGTERM (end the session). Their
// handlers only note the signal and write its number to a pipe, which the
// event loop reads; the work happens there. SIGPIPE is ignored, so a lost
// broker shows up as EPIPE instead of killing the client.

#include <vector>

#include "sys/error.hpp"
#include "sys/fd.hpp"

namespace tsb::attach {

class SignalPipe {
public:
    // Installs the handlers (without SA_RESTART, so that a blocked write
    // returns when a signal arrives). Only one may exist at a time.
    static Result<SignalPipe> install();

    SignalPipe(SignalPipe&&) noexcept = default;
    SignalPipe& operator=(SignalPipe&&) noexcept = default;

    // Readable when a signal has arrived.
    int fd() const noexcept { return read_end_.get(); }
    // The signals that arrived since the last call, oldest first.
    std::vector<int> take();

private:
    SignalPipe(Fd read_end, Fd write_end)
        : read_end_(std::move(read_end)), write_end_(std::move(write_end)) {}
    Fd read_end_;
    Fd write_end_;
};

// The signal that asked the session to end, or 0. Lets a write that a
// signal interrupted give up instead of starting again.
int termination_signal() noexcept;

// The signals the handlers catch: a child started by this process gets
// their default dispositions back.
const std::vector<int>& handled_signals();

// Ends this process by `signal` with its default action, so that whoever
// started the client sees how it ended.
[[noreturn]] void die_by_signal(int signal);

}  // namespace tsb::attach
