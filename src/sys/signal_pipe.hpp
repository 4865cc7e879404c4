#pragma once
// Signals turned into something a thread or a poll loop can wait for (the
// self-pipe design): the handler marks the signal and writes one byte to a
// socket; whoever waits on the other end takes the marks. The handler does
// nothing else, so it is async-signal-safe and may run on any thread. The
// marks, not the bytes, say which signals arrived: a burst of one signal
// may be taken once, but no signal is lost. One SignalPipe at a time: the
// marks and the socket's end are process-wide, as handlers are.

#include <signal.h>

#include <span>
#include <vector>

#include "sys/error.hpp"
#include "sys/fd.hpp"

namespace tsb {

class SignalPipe {
public:
    // Installs the handler for each of `signals` (1 to 64), the wake-up
    // socket first, so that a failure leaves every disposition as it was.
    // With `restart`, calls the handler interrupts resume (SA_RESTART);
    // without it a blocking call returns EINTR, so that a loop can give up
    // a write the other side does not take.
    static Result<SignalPipe> install(std::span<const int> signals, bool restart);

    SignalPipe(SignalPipe&& other) noexcept;
    SignalPipe& operator=(SignalPipe&&) = delete;
    // Puts back the dispositions the signals had before.
    ~SignalPipe();

    // Readable once a signal has arrived.
    int fd() const noexcept { return wake_read_.get(); }
    // Blocks until a signal has arrived (or the socket fails).
    Result<void> wait() const;
    // Empties the socket without blocking; the marks stay.
    void clear_wake() const;
    // clear_wake(), then takes the marks of this pipe's signals: those that
    // arrived since the last call, lowest number first.
    std::vector<int> take();

private:
    SignalPipe(Fd read_end, Fd write_end) noexcept
        : wake_read_(std::move(read_end)), wake_write_(std::move(write_end)) {}
    void withdraw() noexcept;

    Fd wake_read_;
    Fd wake_write_;
    std::vector<int> signals_;  // ascending
    std::vector<struct sigaction> previous_;  // by signals_
};

// What the handler records for a signal, without the wake-up byte.
void mark_signal(int signal_number) noexcept;
// Clears the signal's mark; true if it was set.
bool take_signal_mark(int signal_number) noexcept;
// True while the signal is marked and not yet taken.
bool signal_marked(int signal_number) noexcept;

}  // namespace tsb
