// sink: the consumer side of the throughput benchmark, in C++ so that the
// consumer costs little next to the relay it measures.
//
//   sink raw       counts the bytes on standard input
//   sink broker    reads event lines, decodes the Base64 of every data event,
//                  counts the decoded bytes and checks that seq counts 1, 2, 3
//
// At the end of input it prints "BYTES DATA_EVENTS ok" (or "... bad" when a
// data line was malformed or out of order) and exits.

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include <modp_b64.h>
#include <unistd.h>

namespace {

constexpr std::string_view kDataHead = R"({"data_b64":")";
constexpr std::string_view kSeqKey = R"(","seq":)";

struct Counter {
    unsigned long long bytes = 0;
    unsigned long long events = 0;
    bool ok = true;
    std::string decoded;

    void line(std::string_view text) {
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

}  // namespace

int main(int argc, char** argv) {
    const bool broker = argc > 1 && std::string_view(argv[1]) == "broker";
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
            chunk.remove_prefix(eol + 1);
        }
        partial.append(chunk);
    }
    std::printf("%llu %llu %s\n", counter.bytes, counter.events, counter.ok ? "ok" : "bad");
    return 0;
}
