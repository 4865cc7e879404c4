// raw_echo: the "shell" of the latency and paste benchmarks. It puts its
// terminal in raw mode (no echo by the terminal, no line editing, no output
// processing) and then writes one "R" to say so, so that the driver never
// sends a byte the terminal would still treat in cooked mode.
//
//   raw_echo echo          echoes every byte it reads, until end of input
//   raw_echo discard N     reads N bytes, throws them away, writes "D", exits
//   raw_echo hello         writes the "R" and waits for the end of input

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include <termios.h>
#include <unistd.h>

namespace {

char buffer[65536];

bool write_all(const char* data, std::size_t size) {
    while (size > 0) {
        ssize_t n = write(STDOUT_FILENO, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// The next chunk of input; 0 at its end or on an error.
std::size_t read_some() {
    for (;;) {
        ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        return n > 0 ? static_cast<std::size_t>(n) : 0;
    }
}

int echo() {
    while (std::size_t n = read_some()) {
        if (!write_all(buffer, n)) return 1;
    }
    return 0;
}

int discard(unsigned long long want) {
    unsigned long long seen = 0;
    while (seen < want) {
        std::size_t n = read_some();
        if (n == 0) return 1;
        seen += n;
    }
    return write_all("D", 1) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    std::string_view mode = argc > 1 ? argv[1] : "";
    termios mode_raw{};
    if (tcgetattr(STDIN_FILENO, &mode_raw) < 0) {
        std::perror("raw_echo: tcgetattr");
        return 1;
    }
    cfmakeraw(&mode_raw);
    if (tcsetattr(STDIN_FILENO, TCSANOW, &mode_raw) < 0 || !write_all("R", 1)) return 1;

    if (mode == "echo") return echo();
    if (mode == "discard" && argc > 2) return discard(std::strtoull(argv[2], nullptr, 10));
    if (mode == "hello") {
        while (read_some() != 0) {
        }
        return 0;
    }
    std::fprintf(stderr, "usage: raw_echo echo | discard N | hello\n");
    return 2;
}
