#include "readers/stdin_reader.hpp"
#include "support/proc.hpp"
#include "support/channel.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace tsb {
namespace {

using Clock = std::chrono::steady_clock;
using Commands = std::vector<BrokerCommand>;
using test::new_channel;
using test::next_command;
using test::thread_names;

std::string ping_line(int nonce) {
    return R"({"jsonrpc":"2.0","method":"terminal.ping","params":{"nonce":)" + std::to_string(nonce) + "}}";
}

BrokerCommand ping(int nonce) { return Ping{nlohmann::json(nonce)}; }

Commands drain(CommandReceiver& receiver) {
    Commands commands;
    while (auto command = next_command(receiver)) commands.push_back(std::move(*command));
    return commands;
}

// Feeds `input` through a pipe (from a second thread, as it may not fit
// into the pipe) and runs the reader on it to the end.
struct ReaderRun {
    Commands commands;
    std::string diagnostics;
};

ReaderRun read_all(const std::string& input, std::size_t chunk = 4096) {
    auto [sender, receiver] = new_channel();
    int pipe_fds[2];
    EXPECT_EQ(pipe2(pipe_fds, O_CLOEXEC), 0);
    std::thread writer([&, write_fd = pipe_fds[1]] {
        for (std::size_t at = 0; at < input.size(); at += chunk) {
            const std::string_view piece = std::string_view(input).substr(at, chunk);
            EXPECT_EQ(write(write_fd, piece.data(), piece.size()), static_cast<ssize_t>(piece.size()));
        }
        close(write_fd);
    });
    testing::internal::CaptureStderr();
    run_stdin_reader(pipe_fds[0], std::move(sender));
    ReaderRun run;
    run.diagnostics = testing::internal::GetCapturedStderr();
    writer.join();
    close(pipe_fds[0]);
    run.commands = drain(receiver);
    return run;
}

TEST(StdinReader, LinesBecomeCommandsThenStdinClosed) {
    const std::string nbsp = "\xC2\xA0";
    struct Case {
        const char* name;
        std::string input;
        Commands expected;  // StdinClosed follows
    };
    const Case cases[] = {
        {"empty input", "", {}},
        {"LF endings", ping_line(1) + "\n" + ping_line(2) + "\n", {ping(1), ping(2)}},
        {"last line without LF", ping_line(1) + "\n" + ping_line(2), {ping(1), ping(2)}},
        {"CR LF endings", ping_line(1) + "\r\n" + ping_line(2) + "\r\n", {ping(1), ping(2)}},
        {"blank lines", " \t \n\r\n\n" + nbsp + nbsp + "\n" + ping_line(3) + "\n\t\r", {ping(3)}},
        {"leading ASCII blanks", "   " + ping_line(4) + "\n", {ping(4)}},
        {"positional form", R"(["2.0","terminal.destroy"])" "\n", {Destroy{}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const ReaderRun run = read_all(c.input);
        Commands expected = c.expected;
        expected.emplace_back(std::in_place_type<StdinClosed>);
        EXPECT_EQ(run.commands, expected);
        EXPECT_EQ(run.diagnostics, "");
    }
}

TEST(StdinReader, RejectedLinesCostOneDiagnosticEachAndReadingGoesOn) {
    struct Case {
        const char* name;
        std::string bad_line;
        std::string diagnostic_start;
    };
    const Case cases[] = {
        {"no-break space before JSON", "\xC2\xA0" + ping_line(9), "bad JSON command: "},
        {"invalid UTF-8", "ab\xFF" + ping_line(9), "bad JSON command: line is not valid UTF-8 at byte 2\n"},
        {"truncated sequence at the end", ping_line(9) + "\xE2\x82", "bad JSON command: line is not valid UTF-8 at byte " + std::to_string(ping_line(9).size()) + "\n"},
        {"encoded surrogate", "\xED\xA0\x80", "bad JSON command: line is not valid UTF-8 at byte 0\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const ReaderRun run = read_all(ping_line(1) + "\n" + c.bad_line + "\r\n" + ping_line(2) + "\n");
        EXPECT_EQ(run.commands, (Commands{ping(1), ping(2), StdinClosed{}}));
        const std::string prefix = "[redizivo_varizu_rideze_do] ";
        EXPECT_EQ(run.diagnostics.rfind(prefix + c.diagnostic_start, 0), 0u) << run.diagnostics;
        EXPECT_EQ(std::count(run.diagnostics.begin(), run.diagnostics.end(), '\n'), 1);
    }
}

TEST(StdinReader, HugeLineArrivesWholeAcrossManyReads) {
    const std::string nonce(1 << 20, 'x');
    const std::string line = R"({"jsonrpc":"2.0","method":"terminal.ping","params":{"nonce":")" + nonce + "\"}}";
    // Odd chunk sizes put LF and CR at arbitrary places within a read.
    const ReaderRun run = read_all(line + "\r\n" + ping_line(5) + "\r\n" + line, 8191);
    const BrokerCommand huge = Ping{nlohmann::json(nonce)};
    ASSERT_EQ(run.commands.size(), 4u);
    EXPECT_TRUE(run.commands[0] == huge);
    EXPECT_EQ(run.commands[1], ping(5));
    EXPECT_TRUE(run.commands[2] == huge);
    EXPECT_EQ(run.commands[3], BrokerCommand(StdinClosed{}));
    EXPECT_EQ(run.diagnostics, "");
}

// An endless line must not take the broker's memory: past 16 MiB it costs
// one diagnostic and the rest of it is dropped up to its LF.
TEST(StdinReader, OverlongLineCostsOneDiagnosticAndIsSkippedToItsEnd) {
    const std::string overlong(16 * 1024 * 1024 + 1, 'x');
    struct Case {
        const char* name;
        std::string input;
        Commands expected;
    };
    const Case cases[] = {
        {"followed by a line", ping_line(1) + "\n" + overlong + "\r\n" + ping_line(2) + "\n",
         {ping(1), ping(2), StdinClosed{}}},
        {"at the end of input", ping_line(1) + "\n" + overlong, {ping(1), StdinClosed{}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const ReaderRun run = read_all(c.input, 65536);
        EXPECT_EQ(run.commands, c.expected);
        EXPECT_EQ(run.diagnostics,
                  "[redizivo_varizu_rideze_do] bad JSON command: line longer than 16777216 bytes "
                  "(16 MiB), skipped up to its end\n");
    }
}

TEST(StdinReader, ReadErrorEndsReadingWithDiagnosticAndStdinClosed) {
    auto [sender, receiver] = new_channel();
    const int directory = open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(directory, 0);
    testing::internal::CaptureStderr();
    run_stdin_reader(directory, std::move(sender));  // read(2) on a directory fails
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "[redizivo_varizu_rideze_do] stdin read failed: Is a directory (os error 21)\n");
    close(directory);
    EXPECT_EQ(drain(receiver), (Commands{StdinClosed{}}));
}

TEST(StdinReader, ClosedDescriptorIsAnEmptyInput) {
    auto [sender, receiver] = new_channel();
    testing::internal::CaptureStderr();
    run_stdin_reader(987654, std::move(sender));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(drain(receiver), (Commands{StdinClosed{}}));
}

// Once the main loop is gone the reader stops at its next command, even
// though input is still open, and reads no further.
TEST(StdinReader, StopsWhenTheReceiverIsGone) {
    auto [sender, receiver] = new_channel();
    { const CommandReceiver gone = std::move(receiver); }
    int pipe_fds[2];
    ASSERT_EQ(pipe2(pipe_fds, O_CLOEXEC), 0);
    const std::string first = ping_line(1) + "\n";
    const std::string rest = ping_line(2) + "\n";
    // One write, so that the reader gets both lines at once and must stop
    // in the middle of its buffer; the rest follows separately.
    ASSERT_EQ(write(pipe_fds[1], first.data(), first.size()), static_cast<ssize_t>(first.size()));

    std::atomic<bool> returned = false;
    std::thread reader([&, fd = pipe_fds[0]]() mutable {
        run_stdin_reader(fd, std::move(sender));
        returned = true;
    });
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (!returned && Clock::now() < deadline) poll(nullptr, 0, 5);
    EXPECT_TRUE(returned) << "the reader kept reading after its receiver was gone";
    ASSERT_EQ(write(pipe_fds[1], rest.data(), rest.size()), static_cast<ssize_t>(rest.size()));
    close(pipe_fds[1]);  // lets a reader that did not stop run to its end
    reader.join();
    char left[256];
    EXPECT_EQ(read(pipe_fds[0], left, sizeof left), static_cast<ssize_t>(rest.size()));
    close(pipe_fds[0]);
}

std::optional<BrokerCommand> receive(CommandReceiver& receiver) {
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < deadline) {
        if (auto command = next_command(receiver)) return command;
        pollfd wake{receiver.wake_fd(), POLLIN, 0};
        poll(&wake, 1, 100);
        receiver.clear_wake();
    }
    return std::nullopt;
}

// The peer's side may have made the shared pipe non-blocking: the reader
// waits for input instead of taking EAGAIN for an error, and leaves the
// flag alone, since it is not the broker's.
TEST(StdinReader, NonBlockingInputIsWaitedForAndKeepsItsFlag) {
    auto [sender, receiver] = new_channel();
    int pipe_fds[2];
    ASSERT_EQ(pipe2(pipe_fds, O_CLOEXEC | O_NONBLOCK), 0);
    testing::internal::CaptureStderr();
    std::thread reader([&, fd = pipe_fds[0]]() mutable { run_stdin_reader(fd, std::move(sender)); });
    // The pipe is empty, and so EAGAIN, before each line.
    const std::string first = ping_line(1) + "\n";
    const std::string second = ping_line(2) + "\n";
    ASSERT_EQ(write(pipe_fds[1], first.data(), first.size()), static_cast<ssize_t>(first.size()));
    EXPECT_EQ(receive(receiver), ping(1));
    ASSERT_EQ(write(pipe_fds[1], second.data(), second.size()), static_cast<ssize_t>(second.size()));
    close(pipe_fds[1]);
    reader.join();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(drain(receiver), (Commands{ping(2), StdinClosed{}}));
    EXPECT_NE(fcntl(pipe_fds[0], F_GETFL) & O_NONBLOCK, 0);
    close(pipe_fds[0]);
}

TEST(StdinReader, SpawnedThreadReadsStandardInput) {
    auto [sender, receiver] = new_channel();
    int pipe_fds[2];
    ASSERT_EQ(pipe2(pipe_fds, O_CLOEXEC), 0);
    const int saved_stdin = dup(STDIN_FILENO);
    ASSERT_EQ(dup2(pipe_fds[0], STDIN_FILENO), STDIN_FILENO);
    close(pipe_fds[0]);

    ASSERT_TRUE(spawn_stdin_reader(std::move(sender)));
    const std::string line = ping_line(7) + "\n";
    ASSERT_EQ(write(pipe_fds[1], line.data(), line.size()), static_cast<ssize_t>(line.size()));
    EXPECT_EQ(receive(receiver), ping(7));
    // The 15 bytes Linux keeps of "terminal-stream-stdin-reader".
    const auto names = thread_names();
    EXPECT_NE(std::find(names.begin(), names.end(), "terminal-stream"), names.end());

    close(pipe_fds[1]);
    EXPECT_EQ(receive(receiver), BrokerCommand(StdinClosed{}));
    dup2(saved_stdin, STDIN_FILENO);
    close(saved_stdin);
}

}  // namespace
}  // namespace tsb
