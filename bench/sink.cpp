// sink: the consumer side of the throughput benchmark, in C++ so that the
// consumer costs little next to the relay it measures.
//
//   sink raw       counts the bytes on standard input
//   sink broker    reads event lines, decodes the Base64 of every data event,
//                  counts the decoded bytes and checks that seq counts 1, 2, 3
//   sink broker-ack FD   the same, and once the broker has confirmed a flow
//                  window, acknowledges after each read the seq of the last
//                  data event in it, on descriptor FD (the broker's stdin)
//   sink broker-ack-each FD   the same, but one ack per data event, as soon
//                  as it is decoded (what a browser terminal sends)
//
// At the end of input it prints "BYTES DATA_EVENTS ok" (or "... bad" when a
// data line was malformed or out of order) and exits.

#include <cerrno>
#include <csignal>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include <modp_b64.h>
#include <unistd.h>

namespace {

constexpr std::string_view kDataHead = R"({"data_b64":")";
constexpr std::string_view kSeqKey = R"(","seq":)";
constexpr std::string_view kFlowHead = R"({"type":"flow_control","window":)";

struct Counter {
    unsigned long long bytes = 0;
    unsigned long long events = 0;
    bool ok = true;
    std::string decoded;

    bool flow_on = false;

    void line(std::string_view text) {
        if (text.starts_with(kFlowHead)) {
            flow_on = !text.substr(kFlowHead.size()).starts_with("0");
            return;
        }
        if (!text.starts_with(kDataHead)) return;  // ready, pong, closed
        text.remove_prefix(kDataHead.size());
        std::size_t end = text.find('"');
        if (end == std::string_view::npos) {
            ok = false;
            return;
        }
        decoded.resize(modp_b64_decode_len(end));
        std::size_t n = modp_b64_decode(decoded.data(), text.data(), end);
        if (n == static_cast<std::size_t>(-1)) ok = false;
        else bytes += n;

        unsigned long long seq = 0;
        std::string_view rest = text.substr(end);
        if (!rest.starts_with(kSeqKey)) {
            ok = false;
            return;
        }
        rest.remove_prefix(kSeqKey.size());
        std::from_chars(rest.data(), rest.data() + rest.size(), seq);
        if (seq != ++events) ok = false;
    }
};

// Acknowledges every data event read so far; false when the broker's stdin
// is gone (the session is over, nothing is left to hold).
bool write_ack(int fd, unsigned long long seq) {
    char line[96];
    const int size = std::snprintf(line, sizeof line,
                                   R"({"jsonrpc":"2.0","method":"terminal.ack","params":{"seq":%llu}})"
                                   "\n",
                                   seq);
    for (int done = 0; done < size;) {
        ssize_t n = write(fd, line + done, static_cast<std::size_t>(size - done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<int>(n);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string_view mode = argc > 1 ? argv[1] : "raw";
    const bool broker = mode.starts_with("broker");
    const bool ack_each = mode == "broker-ack-each";
    bool acking = (mode == "broker-ack" || ack_each) && argc > 2;
    const int ack_fd = acking ? std::atoi(argv[2]) : -1;
    unsigned long long acked = 0;
    // The broker may end while an ack is on its way; that is not an error.
    if (acking) std::signal(SIGPIPE, SIG_IGN);
    static char buffer[1 << 20];
    Counter counter;
    std::string partial;
    for (;;) {
        ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        if (!broker) {
            counter.bytes += static_cast<unsigned long long>(n);
            continue;
        }
        std::string_view chunk(buffer, static_cast<std::size_t>(n));
        for (std::size_t eol; (eol = chunk.find('\n')) != std::string_view::npos;) {
            if (partial.empty()) {
                counter.line(chunk.substr(0, eol));
            } else {
                partial.append(chunk.substr(0, eol));
                counter.line(partial);
                partial.clear();
            }
            if (ack_each && acking && counter.flow_on && counter.events > acked) {
                acking = write_ack(ack_fd, counter.events);
                acked = counter.events;
            }
            chunk.remove_prefix(eol + 1);
        }
        partial.append(chunk);
        if (acking && counter.flow_on && counter.events > acked) {
            acking = write_ack(ack_fd, counter.events);
            acked = counter.events;
        }
    }
    std::printf("%llu %llu %s\n", counter.bytes, counter.events, counter.ok ? "ok" : "bad");
    return 0;
}
