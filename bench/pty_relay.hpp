#pragma once
// What the two yardstick relays (raw_relay, json_relay) share: the command
// after "--" started on a new 80x24 PTY as a session leader, the one poll
// loop over the master and standard input, and the command's exit code.
// A relay supplies the two things that differ: how a read of the terminal
// goes out (relay_output) and how standard input comes in (take_input).

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace bench {

[[noreturn]] inline void die(const char* what) {
    std::fprintf(stderr, "%s: %s: %s\n", program_invocation_short_name, what, std::strerror(errno));
    std::_Exit(1);
}

// Only async-signal-safe calls: this runs between fork and exec.
[[noreturn]] inline void exec_child(int slave, char** argv) {
    if (setsid() < 0 || ioctl(slave, TIOCSCTTY, 0) < 0) _exit(126);
    for (int target = 0; target <= 2; ++target) {
        if (dup2(slave, target) < 0) _exit(126);
    }
    if (slave > 2) close(slave);
    execvp(argv[0], argv);
    _exit(127);
}

struct PtyCommand {
    int master = -1;  // non-blocking, close-on-exec
    pid_t child = -1;
};

// Starts the command after "--" (exits with status 2 and a usage line when
// there is none); SIGPIPE is ignored from then on.
inline PtyCommand start_on_pty(int argc, char** argv) {
    int first = 1;
    while (first < argc && std::string_view(argv[first]) != "--") ++first;
    if (first + 1 >= argc) {
        std::fprintf(stderr, "usage: %s -- COMMAND [ARG...]\n", program_invocation_short_name);
        std::exit(2);
    }
    std::signal(SIGPIPE, SIG_IGN);

    winsize size{};
    size.ws_row = 24;
    size.ws_col = 80;
    PtyCommand command;
    int slave = -1;
    if (openpty(&command.master, &slave, nullptr, nullptr, &size) < 0) die("openpty");
    fcntl(command.master, F_SETFD, FD_CLOEXEC);
    fcntl(slave, F_SETFD, FD_CLOEXEC);

    command.child = fork();
    if (command.child < 0) die("fork");
    if (command.child == 0) exec_child(slave, argv + first + 1);
    close(slave);
    fcntl(command.master, F_SETFL, fcntl(command.master, F_GETFL) | O_NONBLOCK);
    return command;
}

// Writes what the terminal takes of `pending` without blocking.
inline void flush_input(int master, std::string& pending) {
    while (!pending.empty()) {
        ssize_t n = write(master, pending.data(), pending.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) return;
        if (n <= 0) die("write master");
        pending.erase(0, static_cast<std::size_t>(n));
    }
}

// One poll on the master and standard input until the terminal has
// reported the end of its output (relay_output() returns false). Standard
// input is read only while the terminal has taken everything before; its
// end sends SIGTERM to the command, as the broker does.
template <typename Relay>
void run_relay(Relay& relay) {
    for (;;) {
        if (!relay.stdin_open && relay.pending.empty() && !relay.kill_sent) {
            kill(relay.pty.child, SIGTERM);
            relay.kill_sent = true;
        }
        pollfd fds[2] = {{relay.pty.master, POLLIN, 0}, {-1, POLLIN, 0}};
        if (!relay.pending.empty()) fds[0].events |= POLLOUT;
        if (relay.stdin_open && relay.pending.empty()) fds[1].fd = STDIN_FILENO;
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            die("poll");
        }
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            if (!relay.relay_output()) return;
        }
        if (fds[0].revents & POLLOUT) flush_input(relay.pty.master, relay.pending);
        if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) relay.take_input();
    }
}

// The command's exit code (0 when a signal ended it).
inline int wait_exit_code(pid_t child) {
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) die("waitpid");
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 0;
}

}  // namespace bench
