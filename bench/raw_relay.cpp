// raw_relay: the bare minimum a terminal relay has to do, as a yardstick for
// the broker. It runs the command given after "--" on a new 80x24 PTY as a
// session leader, copies the master's output to standard output and standard
// input to the master, byte for byte: no framing, no encoding, one thread,
// one poll. The end of standard input sends SIGTERM to the command, as the
// broker does. It exits with the command's status once the terminal has
// reported the end of its output and the command has exited.

#include <cerrno>
#include <string>

#include <unistd.h>

#include "pty_relay.hpp"

namespace {

using bench::die;

constexpr std::size_t kChunk = 65536;

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
    bench::PtyCommand pty;
    std::string pending;  // read from stdin, not yet accepted by the master
    bool stdin_open = true;
    bool kill_sent = false;
    char buffer[kChunk];

    // Returns false once the terminal has reported the end of its output.
    bool relay_output() {
        ssize_t n = read(pty.master, buffer, sizeof buffer);
        if (n > 0) {
            if (!write_all(STDOUT_FILENO, buffer, static_cast<std::size_t>(n))) die("write stdout");
            return true;
        }
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) return true;
        if (n < 0 && errno != EIO) die("read master");
        return false;
    }

    void take_input() {
        ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) return;
        if (n <= 0) {
            stdin_open = false;
        } else {
            pending.append(buffer, static_cast<std::size_t>(n));
            bench::flush_input(pty.master, pending);
        }
    }
};

Relay relay;  // static: keeps the 64 KiB buffer off the stack

}  // namespace

int main(int argc, char** argv) {
    relay.pty = bench::start_on_pty(argc, argv);
    bench::run_relay(relay);
    return bench::wait_exit_code(relay.pty.child);
}
