#include "attach/signals.hpp"

#include <cstdlib>

namespace tsb::attach {

Result<SignalPipe> install_signals() {
    auto pipe = SignalPipe::install(handled_signals, /*restart=*/false);
    if (!pipe) return pipe;
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    if (::sigaction(SIGPIPE, &ignore, nullptr) != 0) return fail(Error::last_os());
    return pipe;
}

bool ending_signal_arrived() noexcept {
    for (const int signal : handled_signals)
        if (signal != SIGWINCH && signal_marked(signal)) return true;
    return false;
}

void die_by_signal(int signal) {
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    ::sigaction(signal, &fallback, nullptr);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal);
    ::sigprocmask(SIG_UNBLOCK, &only, nullptr);
    ::raise(signal);
    // SIGQUIT's default may be a core dump that is refused; end anyway.
    std::_Exit(128 + signal);
}

}  // namespace tsb::attach
