// Signals turned into marks and a readable descriptor: what the broker's
// main loop and the attach client wait on.

#include "sys/signal_pipe.hpp"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <vector>

namespace tsb {
namespace {

constexpr int handled[] = {SIGTERM, SIGINT, SIGHUP};

bool readable(int fd, int timeout_ms) {
    pollfd entry{fd, POLLIN, 0};
    return ::poll(&entry, 1, timeout_ms) == 1;
}

bool default_disposition(int signal_number) {
    struct sigaction current {};
    ::sigaction(signal_number, nullptr, &current);
    return (current.sa_flags & SA_SIGINFO) == 0 && current.sa_handler == SIG_DFL;
}

TEST(SignalPipe, SignalsComeOutOnceInAscendingOrderAndBurstsCoalesce) {
    Result<SignalPipe> pipe = SignalPipe::install(handled, /*restart=*/true);
    ASSERT_TRUE(pipe);
    EXPECT_FALSE(readable(pipe->fd(), 0));

    // Made pending while blocked, then released together: whichever handler
    // runs first, both are reported, lowest number first.
    sigset_t all, previous;
    sigemptyset(&all);
    for (const int s : handled) sigaddset(&all, s);
    pthread_sigmask(SIG_BLOCK, &all, &previous);
    for (int i = 0; i < 5; ++i) pthread_kill(pthread_self(), SIGTERM);
    pthread_kill(pthread_self(), SIGHUP);
    pthread_kill(pthread_self(), SIGINT);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);

    ASSERT_TRUE(readable(pipe->fd(), 10'000));
    EXPECT_TRUE(signal_marked(SIGINT));
    EXPECT_EQ(pipe->take(), (std::vector<int>{SIGHUP, SIGINT, SIGTERM}));
    EXPECT_FALSE(readable(pipe->fd(), 0)) << "the wake-up bytes go with the marks";
    EXPECT_EQ(pipe->take(), std::vector<int>{});
}

TEST(SignalPipe, WithdrawnOnDestructionAndAFailedInstallLeavesDispositionsAlone) {
    { const Result<SignalPipe> pipe = SignalPipe::install(handled, true); }
    for (const int s : handled) EXPECT_TRUE(default_disposition(s));

    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit tight = saved;
    tight.rlim_cur = 3;  // 0, 1 and 2 are open: no socket pair fits
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
    const Result<SignalPipe> failed = SignalPipe::install(handled, true);
    ::setrlimit(RLIMIT_NOFILE, &saved);
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().describe(), "Too many open files (os error 24)");
    for (const int s : handled) EXPECT_TRUE(default_disposition(s));
}

}  // namespace
}  // namespace tsb
