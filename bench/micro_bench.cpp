// Micro-benchmarks of the per-line hot paths: turning an input line into a
// command, and writing one data event.

#include <cstdint>
#include <random>
#include <string>

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include "protocol/base64.hpp"
#include "protocol/events.hpp"
#include "protocol/notification.hpp"

namespace {

std::string random_bytes(std::size_t size) {
    std::mt19937 gen(42);
    std::string bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(gen() & 0xff);
    return bytes;
}

std::string input_line(std::string_view data) {
    return R"({"jsonrpc":"2.0","method":"terminal.input","params":{"data_b64":")" +
           tsb::base64_encode(data) + R"("}})";
}

void run_parse(benchmark::State& state, const std::string& line, std::size_t data_size) {
    if (const auto parsed = tsb::parse_notification(line); !parsed || !*parsed) {
        state.SkipWithError("the benchmark line was rejected");
        return;
    }
    for (auto _ : state) {
        auto command = tsb::parse_notification(line);
        benchmark::DoNotOptimize(command);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * data_size));
}

void BM_parse_keystroke(benchmark::State& state) { run_parse(state, input_line("a"), 1); }

void BM_parse_input_64k(benchmark::State& state) {
    run_parse(state, input_line(random_bytes(65536)), 65536);
}

void BM_parse_ping(benchmark::State& state) {
    run_parse(state, R"({"jsonrpc":"2.0","method":"terminal.ping","params":{"nonce":17}})", 0);
}

void BM_write_data_event_4k(benchmark::State& state) {
    int fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        state.SkipWithError("cannot open /dev/null");
        return;
    }
    std::string chunk = random_bytes(4096);
    tsb::EventWriter writer(fd);
    std::uint64_t seq = 0;
    for (auto _ : state) {
        auto written = writer.write_data_event(++seq, tsb::now_ms(), chunk);
        if (!written) {
            state.SkipWithError("write_data_event failed");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * chunk.size()));
    close(fd);
}

}  // namespace

BENCHMARK(BM_parse_keystroke);
BENCHMARK(BM_parse_input_64k);
BENCHMARK(BM_parse_ping);
BENCHMARK(BM_write_data_event_4k);

BENCHMARK_MAIN();
