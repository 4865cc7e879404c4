#include "sys/process.hpp"

#include <sys/wait.h>

#include <cerrno>

namespace tsb {
namespace {

// waitpid with `options`, resumed when a signal interrupts it.
Result<pid_t> wait_for(pid_t pid, int& status, int options) {
    while (true) {
        const pid_t rc = ::waitpid(pid, &status, options);
        if (rc >= 0) return rc;
        if (errno != EINTR) return fail(Error::last_os());
    }
}

}  // namespace

Result<int> wait_child(pid_t pid) {
    int status = 0;
    if (auto waited = wait_for(pid, status, 0); !waited) return fail(std::move(waited.error()));
    return status;
}

Result<std::optional<int>> poll_child(pid_t pid) {
    int status = 0;
    const Result<pid_t> waited = wait_for(pid, status, WNOHANG);
    if (!waited) return fail(waited.error());
    if (*waited == 0) return std::nullopt;
    return status;
}

}  // namespace tsb
