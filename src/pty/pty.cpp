#include "pty/pty.hpp"

#include <fcntl.h>
#include <linux/close_range.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "sys/process.hpp"

extern char** environ;

namespace tsb {

Result<std::optional<int>> ChildProcess::try_wait() {
    if (status_) return status_;
    Result<std::optional<int>> status = poll_child(pid_);
    if (status && *status) status_ = **status;
    return status;
}

namespace {

// Everything the child needs, built before fork: after fork only the
// calling thread exists and another thread may have held the allocator's
// lock, so the child must not allocate.
struct LaunchPlan {
    std::vector<std::string> strings;  // owns the texts argv/envp point into
    std::vector<char*> argv;
    std::vector<char*> envp;
    // argv for running a script without "#!" through /bin/sh, as execvp
    // does; slot 1 receives the candidate path in the child.
    std::vector<char*> script_argv;
    std::vector<std::string> candidates;  // paths to try with execve, in order
    std::string cwd;
};

bool has_nul(std::string_view text) { return text.find('\0') != std::string_view::npos; }

std::string default_search_path() {
    const std::size_t size = ::confstr(_CS_PATH, nullptr, 0);
    if (size == 0) return "/bin:/usr/bin";
    std::string path(size, '\0');
    ::confstr(_CS_PATH, path.data(), size);
    path.resize(size - 1);
    return path;
}

// The paths execvp would try: a name with a slash as it is, otherwise the
// name in every PATH entry (an empty entry is the current directory). An
// empty name gives no candidate; the child then reports ENOENT.
std::vector<std::string> exec_candidates(const std::string& program) {
    if (program.empty()) return {};
    if (program.find('/') != std::string::npos) return {program};
    const char* path_env = std::getenv("PATH");
    const std::string path = path_env != nullptr ? std::string(path_env) : default_search_path();
    std::vector<std::string> candidates;
    std::size_t start = 0;
    while (true) {
        const std::size_t end = path.find(':', start);
        const std::string_view dir =
            std::string_view(path).substr(start, end == std::string::npos ? end : end - start);
        candidates.push_back(dir.empty() ? program : std::string(dir) + "/" + program);
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return candidates;
}

Result<LaunchPlan> prepare_launch(const ShellLaunch& launch) {
    for (const std::string& arg : launch.command)
        if (has_nul(arg)) return fail(Error::text("nul byte found in provided data"));
    if (has_nul(launch.cwd) || has_nul(launch.term))
        return fail(Error::text("nul byte found in provided data"));

    LaunchPlan plan;
    plan.cwd = launch.cwd;
    // Reserve first: argv and envp keep pointers into these strings.
    std::size_t env_count = 0;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) ++env_count;
    plan.strings.reserve(launch.command.size() + env_count + 1);

    for (const std::string& arg : launch.command) plan.argv.push_back(plan.strings.emplace_back(arg).data());
    plan.argv.push_back(nullptr);

    // The broker's whole environment goes to the shell, with TERM replaced.
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        if (std::string_view(*entry).starts_with("TERM=")) continue;
        plan.envp.push_back(plan.strings.emplace_back(*entry).data());
    }
    plan.envp.push_back(plan.strings.emplace_back("TERM=" + launch.term).data());
    plan.envp.push_back(nullptr);

    static char shell_path[] = "/bin/sh";
    plan.script_argv.push_back(shell_path);
    plan.script_argv.push_back(nullptr);
    plan.script_argv.insert(plan.script_argv.end(), plan.argv.begin() + 1, plan.argv.end());

    plan.candidates = exec_candidates(launch.command.empty() ? std::string() : launch.command.front());
    return plan;
}

// Descriptors 0, 1 and 2 are overwritten in the child; a descriptor the
// child still needs after that (the error pipe, the duplicates) must lie
// above them. Only possible when the broker started with some closed.
Result<Fd> dup_above_stdio(int fd) {
    const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    if (copy < 0) return fail(Error::last_os());
    return Fd(copy);
}

Result<void> set_fd_flag(int fd, int get, int set, int flag) {
    const int flags = ::fcntl(fd, get);
    if (flags < 0 || ::fcntl(fd, set, flags | flag) < 0) return fail(Error::last_os());
    return {};
}

struct PtyPair {
    Fd master;
    Fd slave;
};

Result<PtyPair> open_pty(const ShellLaunch& launch) {
    winsize size{};
    size.ws_row = launch.rows;
    size.ws_col = launch.cols;
    int master = -1;
    int slave = -1;
    if (::openpty(&master, &slave, nullptr, nullptr, &size) < 0) return fail(Error::symbolic(errno));
    PtyPair pair{Fd(master), Fd(slave)};
    if (auto ok = set_fd_flag(master, F_GETFD, F_SETFD, FD_CLOEXEC); !ok) return fail(ok.error());
    if (auto ok = set_fd_flag(slave, F_GETFD, F_SETFD, FD_CLOEXEC); !ok) return fail(ok.error());
    // The main loop writes input without blocking on a full terminal queue.
    if (auto ok = set_fd_flag(master, F_GETFL, F_SETFL, O_NONBLOCK); !ok) return fail(ok.error());
    return pair;
}

}  // namespace

namespace {

// From here to the end of the child only async-signal-safe calls.
[[noreturn]] void report_and_exit(int report_fd, int error) {
    ssize_t rc;
    do {
        rc = ::write(report_fd, &error, sizeof error);
    } while (rc < 0 && errno == EINTR);
    ::_exit(127);
}

// The shell must start as if from a fresh login: the broker ignores
// SIGPIPE, its own handlers would run broker code in the shell's process,
// and fork kept the all-blocked mask the parent set around it.
void reset_signals_in_child() {
    struct sigaction default_action {};
    default_action.sa_handler = SIG_DFL;
    sigemptyset(&default_action.sa_mask);
    for (int sig = 1; sig < NSIG; ++sig) {
        struct sigaction current {};
        if (::sigaction(sig, nullptr, &current) < 0) continue;  // not a settable signal
        const bool always = sig == SIGINT || sig == SIGTERM || sig == SIGPIPE;
        if (always || (current.sa_handler != SIG_DFL && current.sa_handler != SIG_IGN))
            ::sigaction(sig, &default_action, nullptr);
    }
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
}

// The PATH search of execvp over candidates prepared before fork: EACCES
// is remembered and the search goes on; a file without "#!" that the
// kernel refuses as ENOEXEC is run by /bin/sh.
[[noreturn]] void exec_program(LaunchPlan& plan, int report_fd) {
    bool saw_eacces = false;
    int last_error = ENOENT;
    for (const std::string& candidate : plan.candidates) {
        ::execve(candidate.c_str(), plan.argv.data(), plan.envp.data());
        int error = errno;
        if (error == ENOEXEC) {
            plan.script_argv[1] = const_cast<char*>(candidate.c_str());
            ::execve(plan.script_argv[0], plan.script_argv.data(), plan.envp.data());
            error = errno;
        }
        switch (error) {
        case EACCES:
            saw_eacces = true;
            [[fallthrough]];
        case ENOENT:
        case ENOTDIR:
        case ESTALE:
        case ENODEV:
        case ETIMEDOUT:
            last_error = error;
            continue;
        default:
            report_and_exit(report_fd, error);
        }
    }
    report_and_exit(report_fd, saw_eacces ? EACCES : last_error);
}

[[noreturn]] void run_child(LaunchPlan& plan, int slave, const int (&stdio)[3], int report_fd) {
    reset_signals_in_child();
    for (int target = 0; target < 3; ++target)
        if (::dup2(stdio[target], target) < 0) report_and_exit(report_fd, errno);
    if (::chdir(plan.cwd.c_str()) < 0) report_and_exit(report_fd, errno);
    if (::setsid() < 0) report_and_exit(report_fd, errno);
    // After dup2 the slave's number may be one of 0-2; it still names the
    // same terminal, so taking it as controlling terminal is unaffected.
    if (::ioctl(slave, TIOCSCTTY, 0) < 0) report_and_exit(report_fd, errno);
    // Descriptors the broker inherited without close-on-exec must not reach
    // the shell either. Marking instead of closing keeps the report pipe
    // usable until exec; an old kernel without close_range skips this.
    ::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
    exec_program(plan, report_fd);
}

// Every signal stays blocked from just before fork until the child has
// reset its dispositions, so no handler of the broker ever runs there.
Result<pid_t> fork_child(LaunchPlan& plan, int slave, const int (&stdio)[3], int report_fd) {
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    const pid_t pid = ::fork();
    if (pid == 0) run_child(plan, slave, stdio, report_fd);
    const int fork_error = errno;
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (pid < 0) return fail(Error::os(fork_error));
    return pid;
}

// The report pipe stays empty and reaches end of file when exec succeeds
// (close-on-exec); a failing child writes its errno first. A failed child
// is collected here so that none remains.
Result<void> await_exec(Fd report, pid_t pid) {
    int child_error = 0;
    std::size_t received = 0;
    while (received < sizeof child_error) {
        const ssize_t n = ::read(report.get(), reinterpret_cast<char*>(&child_error) + received,
                                 sizeof child_error - received);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            const int error = errno;
            ::kill(pid, SIGKILL);
            (void)wait_child(pid);
            return fail(Error::os(error));
        }
        if (n == 0) break;
        received += static_cast<std::size_t>(n);
    }
    if (received == 0) return {};
    (void)wait_child(pid);
    if (received < sizeof child_error) return fail(Error::text("shell launch report cut short"));
    return fail(Error::os(child_error));
}

}  // namespace

Result<PtyChild> spawn_pty_child(const ShellLaunch& launch) {
    auto plan = prepare_launch(launch);
    if (!plan) return fail(plan.error());
    auto pty = open_pty(launch);
    if (!pty) return fail(pty.error());

    // Declared in this order so that failures close the duplicates (newest
    // first), then the slave, then the master.
    Fd stdio[3];
    for (Fd& copy : stdio) {
        auto made = dup_above_stdio(pty->slave.get());
        if (!made) return fail(made.error());
        copy = std::move(*made);
    }
    int pipe_fds[2];
    if (::pipe2(pipe_fds, O_CLOEXEC) < 0) return fail(Error::last_os());
    Fd report_read(pipe_fds[0]);
    Fd report_write(pipe_fds[1]);
    if (report_write.get() < 3) {
        auto moved = dup_above_stdio(report_write.get());
        if (!moved) return fail(moved.error());
        report_write = std::move(*moved);
    }

    const int stdio_fds[3] = {stdio[0].get(), stdio[1].get(), stdio[2].get()};
    auto pid = fork_child(*plan, pty->slave.get(), stdio_fds, report_write.get());
    if (!pid) return fail(pid.error());
    report_write.reset();  // else the pipe never reports end of file
    if (auto launched = await_exec(std::move(report_read), *pid); !launched)
        return fail(launched.error());
    return PtyChild{std::move(pty->master), ChildProcess(*pid)};
}

}  // namespace tsb
