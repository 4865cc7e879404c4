// json_relay: the smallest relay that speaks the broker's wire, as a
// yardstick for the broker's own costs. One thread, one poll on standard
// input and the PTY master: notification lines are read from standard input
// (terminal.input is decoded and written to the terminal, terminal.ping is
// answered with a pong line at once, anything else is ignored), and each
// read of the terminal becomes one data event line with Base64. It writes a
// ready line first and a closed line last, so a driver can treat it like
// the broker. No validation beyond what it needs to find its fields: it is
// fed only by the benchmark driver.
//
//   json_relay -- COMMAND [ARG...]

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>

#include <fcntl.h>
#include <modp_b64.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr std::size_t kChunk = 65536;

[[noreturn]] void die(const char* what) {
    std::fprintf(stderr, "json_relay: %s: %s\n", what, std::strerror(errno));
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

void write_all(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t n = write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) die("write");
        data.remove_prefix(static_cast<std::size_t>(n));
    }
}

unsigned long long now_ms() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<unsigned long long>(now.tv_sec) * 1000ULL +
           static_cast<unsigned long long>(now.tv_nsec) / 1000000ULL;
}

// The text of a string member `"key":"..."` or of a scalar member
// `"key":...` of a flat JSON line (the driver writes no spaces).
std::string_view member(std::string_view line, std::string_view key) {
    std::size_t at = 0;
    for (;; ++at) {
        at = line.find(key, at);
        if (at == std::string_view::npos) return {};
        if (at > 0 && line[at - 1] == '"' && line.substr(at + key.size()).starts_with("\":")) break;
    }
    line.remove_prefix(at + key.size() + 2);
    if (line.starts_with('"')) {
        line.remove_prefix(1);
        return line.substr(0, line.find('"'));
    }
    return line.substr(0, line.find_first_of(",}]"));
}

struct Relay {
    int master = -1;
    pid_t child = -1;
    unsigned long long seq = 0;
    std::string line;     // the current input line
    std::string pending;  // decoded input not yet taken by the terminal
    std::string out;      // the event line being built
    bool stdin_open = true;
    bool kill_sent = false;
    char buffer[kChunk];

    void command(std::string_view text) {
        std::string_view method = member(text, "method");
        if (method == "terminal.input") {
            std::string_view b64 = member(text, "data_b64");
            std::size_t at = pending.size();
            pending.resize(at + modp_b64_decode_len(b64.size()));
            std::size_t n = modp_b64_decode(pending.data() + at, b64.data(), b64.size());
            pending.resize(n == static_cast<std::size_t>(-1) ? at : at + n);
        } else if (method == "terminal.ping") {
            std::string_view nonce = member(text, "nonce");
            if (nonce.empty() || nonce.size() > 64) nonce = "null";
            char pong[128];
            int size = std::snprintf(pong, sizeof pong, "{\"nonce\":%.*s,\"type\":\"pong\"}\n",
                                     static_cast<int>(nonce.size()), nonce.data());
            write_all(STDOUT_FILENO, std::string_view(pong, static_cast<std::size_t>(size)));
        }
    }

    void take_input() {
        ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) return;
        if (n <= 0) {
            stdin_open = false;
            return;
        }
        std::string_view bytes(buffer, static_cast<std::size_t>(n));
        for (std::size_t lf; (lf = bytes.find('\n')) != std::string_view::npos;) {
            line.append(bytes.substr(0, lf));
            command(line);
            line.clear();
            bytes.remove_prefix(lf + 1);
        }
        line.append(bytes);
        flush_input();
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

    // False once the terminal has reported the end of its output.
    bool relay_output() {
        ssize_t n = read(master, buffer, sizeof buffer);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) return true;
        if (n < 0 && errno != EIO) die("read master");
        if (n <= 0) return false;
        const std::size_t size = static_cast<std::size_t>(n);
        out.resize(16 + modp_b64_encode_len(size));
        std::memcpy(out.data(), "{\"data_b64\":\"", 13);
        std::size_t encoded = modp_b64_encode(out.data() + 13, buffer, size);
        out.resize(13 + encoded);
        char tail[96];
        int tail_size = std::snprintf(tail, sizeof tail, "\",\"seq\":%llu,\"ts\":%llu,\"type\":\"data\"}\n",
                                      ++seq, now_ms());
        out.append(tail, static_cast<std::size_t>(tail_size));
        write_all(STDOUT_FILENO, out);
        return true;
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
        std::fprintf(stderr, "usage: json_relay -- COMMAND [ARG...]\n");
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

    char ready[128];
    int ready_size = std::snprintf(ready, sizeof ready, "{\"pid\":%d,\"ts\":%llu,\"type\":\"ready\"}\n",
                                   static_cast<int>(relay.child), now_ms());
    write_all(STDOUT_FILENO, std::string_view(ready, static_cast<std::size_t>(ready_size)));

    relay.run();

    int status = 0;
    while (waitpid(relay.child, &status, 0) < 0) {
        if (errno != EINTR) die("waitpid");
    }
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 0;
    char closed[128];
    int closed_size = std::snprintf(closed, sizeof closed,
                                    "{\"exit_code\":%d,\"reason\":\"exited\",\"seq\":%llu,\"ts\":%llu,"
                                    "\"type\":\"closed\"}\n",
                                    code, relay.seq + 1, now_ms());
    write_all(STDOUT_FILENO, std::string_view(closed, static_cast<std::size_t>(closed_size)));
    return code;
}
