#include "readers/signal_reader.hpp"

#include <dirent.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "readers/signal_reader_detail.hpp"
#include "sys/signal_pipe.hpp"
#include "support/proc.hpp"
#include "support/channel.hpp"

namespace tsb {
namespace {

using Clock = std::chrono::steady_clock;
using Commands = std::vector<BrokerCommand>;
using test::new_channel;
using test::next_command;
using test::thread_names;

bool handler_installed(int signal_number) {
    struct sigaction current {};
    sigaction(signal_number, nullptr, &current);
    return (current.sa_flags & SA_SIGINFO) != 0 && (current.sa_flags & SA_RESTART) != 0;
}

bool default_disposition(int signal_number) {
    struct sigaction current {};
    sigaction(signal_number, nullptr, &current);
    return (current.sa_flags & SA_SIGINFO) == 0 && current.sa_handler == SIG_DFL;
}

template <typename Condition>
bool eventually(Condition condition) {
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (!condition()) {
        if (Clock::now() > deadline) return false;
        poll(nullptr, 0, 5);
    }
    return true;
}

// Every command that arrives until the channel has been quiet for
// `quiet_ms`, waiting at most ten seconds for the first one.
Commands receive_until_quiet(CommandReceiver& receiver, int quiet_ms = 200) {
    Commands commands;
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < deadline) {
        receiver.clear_wake();
        while (auto command = next_command(receiver)) commands.push_back(std::move(*command));
        pollfd wake{receiver.wake_fd(), POLLIN, 0};
        const int wait_ms = commands.empty() ? 100 : quiet_ms;
        if (poll(&wake, 1, wait_ms) == 0 && !commands.empty()) break;
    }
    return commands;
}

// One reader serves the whole file: its handlers are process-wide and
// stay installed, as in the broker. The last test ends it.
class SignalReader : public testing::Test {
protected:
    static void SetUpTestSuite() {
        auto [sender, receiver] = new_channel();
        receiver_.emplace(std::move(receiver));
        ASSERT_TRUE(spawn_signal_reader(std::move(sender)));
        // In place before the call returns: start-up opens the PTY right
        // after it, and from then on SIGTERM must not end the broker.
        ASSERT_TRUE(handler_installed(SIGINT) && handler_installed(SIGTERM));
        // Once a signal has come through, the thread runs and waits in its
        // loop, where the tests below expect it.
        ASSERT_EQ(kill(getpid(), SIGINT), 0);
        ASSERT_EQ(receive_until_quiet(*receiver_, 20), (Commands{Signal{"SIGINT"}}));
    }
    static void TearDownTestSuite() { receiver_.reset(); }

    static std::optional<CommandReceiver> receiver_;
};
std::optional<CommandReceiver> SignalReader::receiver_;

TEST_F(SignalReader, EachSignalBecomesOneCommandWithItsName) {
    struct Case {
        int signal_number;
        std::string_view name;
    };
    for (const Case c : {Case{SIGTERM, "SIGTERM"}, Case{SIGINT, "SIGINT"}, Case{SIGTERM, "SIGTERM"}}) {
        ASSERT_EQ(kill(getpid(), c.signal_number), 0);
        EXPECT_EQ(receive_until_quiet(*receiver_), (Commands{Signal{c.name}}));
    }
}

TEST_F(SignalReader, ReaderThreadCarriesTheShortenedName) {
    const auto names = thread_names();
    EXPECT_EQ(std::count(names.begin(), names.end(), "terminal-stream"), 1);
}

TEST_F(SignalReader, BurstOfOneSignalIsReportedAtLeastOnce) {
    for (int i = 0; i < 5; ++i) ASSERT_EQ(kill(getpid(), SIGTERM), 0);
    const Commands commands = receive_until_quiet(*receiver_);
    ASSERT_GE(commands.size(), 1u);
    EXPECT_LE(commands.size(), 5u);
    for (const BrokerCommand& command : commands) EXPECT_EQ(command, BrokerCommand(Signal{"SIGTERM"}));
}

// Both signals are made pending on this thread while it blocks them, then
// released together: each must come out once, whichever handler ran first.
TEST_F(SignalReader, TwoSignalsBackToBackBothArrive) {
    sigset_t both, previous;
    sigemptyset(&both);
    sigaddset(&both, SIGINT);
    sigaddset(&both, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &both, &previous);
    pthread_kill(pthread_self(), SIGTERM);
    pthread_kill(pthread_self(), SIGINT);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    Commands commands = receive_until_quiet(*receiver_);
    ASSERT_EQ(commands.size(), 2u);
    EXPECT_NE(commands[0], commands[1]);
    for (const BrokerCommand& command : commands)
        EXPECT_TRUE(command == BrokerCommand(Signal{"SIGINT"}) || command == BrokerCommand(Signal{"SIGTERM"}));
}

// Marks set without a wake-up, so the running reader leaves them alone.
TEST_F(SignalReader, PendingSignalsAreReportedInAscendingOrderOnce) {
    auto [sender, receiver] = new_channel();
    mark_signal(SIGTERM);
    mark_signal(SIGINT);
    ASSERT_TRUE(detail::report_pending_signals(sender));
    EXPECT_EQ(receive_until_quiet(receiver, 20), (Commands{Signal{"SIGINT"}, Signal{"SIGTERM"}}));
    ASSERT_TRUE(detail::report_pending_signals(sender));
    EXPECT_FALSE(next_command(receiver));

    { const CommandReceiver gone = std::move(receiver); }
    mark_signal(SIGTERM);
    EXPECT_FALSE(detail::report_pending_signals(sender));
}

// A second reader that cannot get descriptors for its wake-up sockets
// says so once and ends; it sends nothing and leaves the first reader's
// handlers in place.
TEST_F(SignalReader, RegistrationFailureIsReportedAndEndsTheReader) {
    auto [sender, receiver] = new_channel();
    // Threads are counted through a directory opened beforehand: under the
    // limit below nothing new can be opened.
    DIR* tasks = opendir("/proc/self/task");
    ASSERT_NE(tasks, nullptr);
    const auto thread_count = [tasks] {
        rewinddir(tasks);
        int count = 0;
        while (readdir(tasks) != nullptr) ++count;
        return count;
    };
    const int threads_before = thread_count();
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    testing::internal::CaptureStderr();
    rlimit tight = saved;
    tight.rlim_cur = 3;  // 0, 1 and 2 are open: no new descriptor fits
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
    const bool spawned = spawn_signal_reader(std::move(sender)).has_value();
    const bool ended = eventually([&] { return thread_count() == threads_before; });
    setrlimit(RLIMIT_NOFILE, &saved);
    closedir(tasks);
    const std::string diagnostics = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(spawned);
    ASSERT_TRUE(ended);
    EXPECT_EQ(diagnostics,
              "[redizivo_varizu_rideze_do] failed to register signal handlers: "
              "Too many open files (os error 24)\n");
    EXPECT_FALSE(next_command(receiver));
    EXPECT_TRUE(handler_installed(SIGINT) && handler_installed(SIGTERM));
}

// Once the main loop is gone the next signal ends the reader silently and
// gives SIGINT and SIGTERM back their former dispositions.
TEST_F(SignalReader, ReceiverGoneEndsTheReaderAndWithdrawsItsHandlers) {
    receiver_.reset();
    testing::internal::CaptureStderr();
    ASSERT_EQ(kill(getpid(), SIGINT), 0);
    const bool withdrawn = eventually([] { return default_disposition(SIGINT) && default_disposition(SIGTERM); });
    const bool thread_gone = eventually([] {
        const auto names = thread_names();
        return std::count(names.begin(), names.end(), "terminal-stream") == 0;
    });
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_TRUE(withdrawn);
    EXPECT_TRUE(thread_gone);
}

}  // namespace
}  // namespace tsb
