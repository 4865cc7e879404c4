// raw_relay: the bare minimum a terminal relay has to do, as a yardstick for
// the broker. It runs the command given after "--" on a new 80x24 PTY as a
// session leader, copies the master's output to standard output and standard
// input to the master, byte for byte: no framing, no encoding, one thread,
// one poll. The end of standard input sends SIGTERM to the command, as the
// broker does. It exits with the command's status once the terminal has
// reported the end of its output and the command has exited.

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr std::size_t kChunk = 65536;

[[noreturn]] void die(const char* what) {
    std::fprintf(stderr, "raw_relay: %s: %s\n", what, std::strerror(errno));
    std::_Exit(1);
}

// Only async-signal-safe calls: this runs between fork and exec.
[[noreturn]] void exec_child(int slave, char** argv) {
    if (setsid() < 0 || ioctl(slave, TIOCSCTTY, 0) < 0) _exit(126);
    for (int target = 0; target <= 2; ++target) {
        if (dup2(slave, target) < 0) _exit(126);
    }
    if (slave > 2) close(slave);
    execvp(argv[0], argv);
    _exit(127);
}

bool write_all(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

struct Relay {
    int master = -1;
    pid_t child = -1;
    std::string pending;  // read from stdin, not yet accepted by the master
    bool stdin_open = true;
    bool kill_sent = false;
    char buffer[kChunk];

    // Returns false once the terminal has reported the end of its output.
    bool relay_output() {
        ssize_t n = read(master, buffer, sizeof buffer);
        if (n > 0) {
            if (!write_all(STDOUT_FILENO, buffer, static_cast<std::size_t>(n))) die("write stdout");
            return true;
        }
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) return true;
        if (n < 0 && errno != EIO) die("read master");
        return false;
    }

    void flush_input() {
        while (!pending.empty()) {
            ssize_t n = write(master, pending.data(), pending.size());
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno == EAGAIN) return;
            if (n <= 0) die("write master");
            pending.erase(0, static_cast<std::size_t>(n));
        }
    }

    void take_input() {
        ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) return;
        if (n <= 0) {
            stdin_open = false;
        } else {
            pending.append(buffer, static_cast<std::size_t>(n));
            flush_input();
        }
    }

    void run() {
        for (;;) {
            if (!stdin_open && pending.empty() && !kill_sent) {
                kill(child, SIGTERM);
                kill_sent = true;
            }
            pollfd fds[2] = {{master, POLLIN, 0}, {-1, POLLIN, 0}};
            if (!pending.empty()) fds[0].events |= POLLOUT;
            if (stdin_open && pending.empty()) fds[1].fd = STDIN_FILENO;
            if (poll(fds, 2, -1) < 0) {
                if (errno == EINTR) continue;
                die("poll");
            }
            if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
                if (!relay_output()) return;
            }
            if (fds[0].revents & POLLOUT) flush_input();
            if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) take_input();
        }
    }
};

Relay relay;  // static: keeps the 64 KiB buffer off the stack

}  // namespace

int main(int argc, char** argv) {
    int first = 1;
    while (first < argc && std::string_view(argv[first]) != "--") ++first;
    if (first + 1 >= argc) {
        std::fprintf(stderr, "usage: raw_relay -- COMMAND [ARG...]\n");
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);

    winsize size{};
    size.ws_row = 24;
    size.ws_col = 80;
    int slave = -1;
    if (openpty(&relay.master, &slave, nullptr, nullptr, &size) < 0) die("openpty");
    fcntl(relay.master, F_SETFD, FD_CLOEXEC);
    fcntl(slave, F_SETFD, FD_CLOEXEC);

    relay.child = fork();
    if (relay.child < 0) die("fork");
    if (relay.child == 0) exec_child(slave, argv + first + 1);
    close(slave);
    fcntl(relay.master, F_SETFL, fcntl(relay.master, F_GETFL) | O_NONBLOCK);

    relay.run();

    int status = 0;
    while (waitpid(relay.child, &status, 0) < 0) {
        if (errno != EINTR) die("waitpid");
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 0;
}
