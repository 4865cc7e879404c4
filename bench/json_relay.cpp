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
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>

#include <modp_b64.h>
#include <unistd.h>

#include "pty_relay.hpp"

namespace {

constexpr std::size_t kChunk = 65536;

using bench::die;

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
    bench::PtyCommand pty;
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
        bench::flush_input(pty.master, pending);
    }

    // False once the terminal has reported the end of its output.
    bool relay_output() {
        ssize_t n = read(pty.master, buffer, sizeof buffer);
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
};

Relay relay;  // static: keeps the 64 KiB buffer off the stack

}  // namespace

int main(int argc, char** argv) {
    relay.pty = bench::start_on_pty(argc, argv);

    char ready[128];
    int ready_size = std::snprintf(ready, sizeof ready, "{\"pid\":%d,\"ts\":%llu,\"type\":\"ready\"}\n",
                                   static_cast<int>(relay.pty.child), now_ms());
    write_all(STDOUT_FILENO, std::string_view(ready, static_cast<std::size_t>(ready_size)));

    bench::run_relay(relay);

    const int code = bench::wait_exit_code(relay.pty.child);
    char closed[128];
    int closed_size = std::snprintf(closed, sizeof closed,
                                    "{\"exit_code\":%d,\"reason\":\"exited\",\"seq\":%llu,\"ts\":%llu,"
                                    "\"type\":\"closed\"}\n",
                                    code, relay.seq + 1, now_ms());
    write_all(STDOUT_FILENO, std::string_view(closed, static_cast<std::size_t>(closed_size)));
    return code;
}
