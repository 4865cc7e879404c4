// The stdin reader when memory runs out. This test program replaces the
// global operator new, so that while a test arms it every allocation of a
// mebibyte or more fails as it would under a memory limit.

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <new>
#include <string>
#include <thread>

#include "readers/stdin_reader.hpp"
#include "support/channel.hpp"

// The replacement allocates with malloc and frees with free, which GCC
// cannot see once the standard library's calls are inlined into it.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace {

std::atomic<bool> refuse_large_allocations = false;

}  // namespace

void* operator new(std::size_t size) {
    if (size >= (1u << 20) && refuse_large_allocations.load(std::memory_order_relaxed)) {
        throw std::bad_alloc();
    }
    if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
    throw std::bad_alloc();
}

void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return operator new(size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete(void* memory, const std::nothrow_t&) noexcept { std::free(memory); }

namespace tsb {
namespace {

struct RefuseLargeAllocations {
    RefuseLargeAllocations() { refuse_large_allocations = true; }
    ~RefuseLargeAllocations() { refuse_large_allocations = false; }
};

// The reader must still send StdinClosed, or nobody could end the shell
// through standard input any more.
TEST(StdinReaderMemory, RunningOutEndsReadingWithOneDiagnosticAndStdinClosed) {
    std::signal(SIGPIPE, SIG_IGN);
    auto [sender, receiver] = test::new_channel();
    int pipe_fds[2];
    ASSERT_EQ(pipe2(pipe_fds, O_CLOEXEC), 0);
    const std::string input = R"({"jsonrpc":"2.0","method":"terminal.ping","params":{"nonce":")" +
                              std::string(4 << 20, 'x') + "\"}}\n";
    std::thread writer([&, fd = pipe_fds[1]] {
        // Stops once the reader has given up and its end is closed.
        for (std::size_t at = 0; at < input.size(); at += 65536) {
            if (write(fd, input.data() + at, std::min<std::size_t>(65536, input.size() - at)) < 0) break;
        }
        close(fd);
    });
    testing::internal::CaptureStderr();
    {
        const RefuseLargeAllocations refusing;
        run_stdin_reader(pipe_fds[0], std::move(sender));
    }
    const std::string diagnostics = testing::internal::GetCapturedStderr();
    close(pipe_fds[0]);
    writer.join();
    EXPECT_EQ(diagnostics, "[redizivo_varizu_rideze_do] stdin read failed: std::bad_alloc\n");
    EXPECT_EQ(test::next_command(receiver), std::optional<BrokerCommand>(StdinClosed{}));
    EXPECT_EQ(test::next_command(receiver), std::nullopt);
}

}  // namespace
}  // namespace tsb
