#pragma once
// Opening the pseudo-terminal and launching the shell on its slave side, as
// the leader of a new session whose controlling terminal is that slave.

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sys/error.hpp"
#include "sys/fd.hpp"

namespace tsb {

// The shell's process. The wait status, once collected, stays with it.
class ChildProcess {
public:
    explicit ChildProcess(pid_t pid) noexcept : pid_(pid) {}

    pid_t pid() const noexcept { return pid_; }

    // waitpid(pid, WNOHANG): the wait status once the shell has ended,
    // nothing while it runs. After a status has been collected, returns it
    // again without asking the system.
    Result<std::optional<int>> try_wait();

    // True once try_wait has collected the status: from then on the process
    // id may belong to another process.
    bool reaped() const noexcept { return status_.has_value(); }

private:
    pid_t pid_;
    std::optional<int> status_;
};

struct PtyChild {
    Fd master;  // close-on-exec and non-blocking; the only PTY descriptor kept
    ChildProcess child;
};

// What to start, where, and on a terminal of which size.
struct ShellLaunch {
    std::vector<std::string> command;  // program first; searched on PATH without a "/"
    std::string cwd;
    std::string term;  // the shell's TERM; the rest of the environment is inherited
    std::uint16_t cols;
    std::uint16_t rows;
};

// Opens a PTY of launch.cols x launch.rows and starts launch.command on it
// in launch.cwd with TERM=launch.term. On failure nothing remains: every
// descriptor is closed and no child process is left. The shell inherits no
// descriptor but 0, 1 and 2, an empty signal mask and default dispositions
// for SIGINT, SIGTERM and SIGPIPE.
Result<PtyChild> spawn_pty_child(const ShellLaunch& launch);

}  // namespace tsb
