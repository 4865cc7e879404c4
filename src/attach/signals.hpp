#pragma once
// The signals the attach client reacts to: SIGWINCH (the terminal was
// resized) and SIGHUP, SIGINT, SIGQUIT, SIGTERM (end the session). They
// come through a SignalPipe (sys/signal_pipe.hpp) that the event loop
// polls; the work happens there. SIGPIPE is ignored, so a lost broker shows
// up as EPIPE instead of killing the client.

#include <signal.h>

#include <array>

#include "sys/signal_pipe.hpp"

namespace tsb::attach {

// Ascending, as SignalPipe::take reports them.
inline constexpr std::array handled_signals{SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGWINCH};

// Installs the handlers, without SA_RESTART: a write to a terminal that
// takes nothing returns when one of them arrives. Only one may exist at a
// time.
Result<SignalPipe> install_signals();

// True once a signal that ends the session has arrived: a write that a
// signal interrupted gives up instead of starting again.
bool ending_signal_arrived() noexcept;

// Ends this process by `signal` with its default action, so that whoever
// started the client sees how it ended.
[[noreturn]] void die_by_signal(int signal);

}  // namespace tsb::attach
