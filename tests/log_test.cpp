#include "log/log.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace tsb {
namespace {

std::string captured(const auto& write) {
    testing::internal::CaptureStderr();
    write();
    return testing::internal::GetCapturedStderr();
}

TEST(Log, LineForms) {
    EXPECT_EQ(captured([] { log_message("PTY poll returned POLLERR"); }),
              "[redizivo_varizu_rideze_do] PTY poll returned POLLERR\n");
    EXPECT_EQ(captured([] { log_error_with("resize failed", Error::text("short write to PTY")); }),
              "[redizivo_varizu_rideze_do] resize failed: short write to PTY\n");
    EXPECT_EQ(captured([] { log_error_with("destroy failed", Error::symbolic(ESRCH)); }),
              "[redizivo_varizu_rideze_do] destroy failed: ESRCH: No such process\n");
    EXPECT_EQ(captured([] { log_error_with("stdin read failed", Error::os(EBADF)); }),
              "[redizivo_varizu_rideze_do] stdin read failed: Bad file descriptor (os error 9)\n");
    EXPECT_EQ(captured([] { log_message(""); }), "[redizivo_varizu_rideze_do] \n");
}

TEST(Error, Renderings) {
    struct Case {
        Error error;
        std::string text;
    };
    const Case cases[] = {
        {Error::os(ESRCH), "No such process (os error 3)"},
        {Error::os(ENOENT), "No such file or directory (os error 2)"},
        {Error::os(EIO), "Input/output error (os error 5)"},
        {Error::symbolic(ESRCH), "ESRCH: No such process"},
        {Error::symbolic(ENOENT), "ENOENT: No such file or directory"},
        {Error::symbolic(EPERM), "EPERM: Operation not permitted"},
        {Error::text("PTY poll returned POLLNVAL"), "PTY poll returned POLLNVAL"},
        {Error::text(""), ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.error.describe(), c.text);
    }
    errno = EPIPE;
    EXPECT_EQ(Error::last_os(), Error::os(EPIPE));
    EXPECT_EQ(Error::last_os().describe(), "Broken pipe (os error 32)");
    EXPECT_NE(Error::os(ESRCH), Error::symbolic(ESRCH));
}

TEST(Log, ConcurrentLinesStayWhole) {
    constexpr int lines_per_thread = 2000;
    const std::string long_a(300, 'a');
    const std::string long_b(300, 'b');
    const std::string output = captured([&] {
        std::thread first([&] {
            for (int i = 0; i < lines_per_thread; ++i) log_message(long_a + std::to_string(i));
        });
        std::thread second([&] {
            for (int i = 0; i < lines_per_thread; ++i)
                log_error_with(long_b, Error::text(std::to_string(i)));
        });
        first.join();
        second.join();
    });

    std::istringstream stream(output);
    std::string line;
    int next_a = 0;
    int next_b = 0;
    while (std::getline(stream, line)) {
        const std::string expected_a = std::string(log_prefix) + long_a + std::to_string(next_a);
        const std::string expected_b =
            std::string(log_prefix) + long_b + ": " + std::to_string(next_b);
        // Each thread's lines arrive whole and in the order it wrote them.
        if (line == expected_a) {
            ++next_a;
        } else if (line == expected_b) {
            ++next_b;
        } else {
            FAIL() << "mixed or unexpected line: " << line.substr(0, 80);
        }
    }
    EXPECT_EQ(next_a, lines_per_thread);
    EXPECT_EQ(next_b, lines_per_thread);
    EXPECT_EQ(output.back(), '\n');
}

// Runs `write` with descriptor 2 replaced by `replacement` (or closed when it
// is -1), then puts the original standard error back.
void with_stderr(int replacement, const auto& write) {
    const int saved = ::dup(STDERR_FILENO);
    ASSERT_GE(saved, 0);
    if (replacement < 0) {
        ::close(STDERR_FILENO);
    } else {
        ::dup2(replacement, STDERR_FILENO);
    }
    write();
    ::dup2(saved, STDERR_FILENO);
    ::close(saved);
}

TEST(Log, ClosedStderrDropsLinesSilently) {
    with_stderr(-1, [] {
        log_message("lost");
        log_error_with("lost too", Error::os(EIO));
    });
    // Logging still works once standard error is back.
    EXPECT_EQ(captured([] { log_message("back"); }), "[redizivo_varizu_rideze_do] back\n");
}

TEST(Log, StderrWithoutReaderDoesNotBlockOrKill) {
    // The broker ignores SIGPIPE; writing to a pipe nobody reads then fails
    // with EPIPE, which must simply drop the line.
    struct sigaction ignore {};
    struct sigaction previous {};
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(::sigaction(SIGPIPE, &ignore, &previous), 0);
    int pipe_ends[2];
    ASSERT_EQ(::pipe(pipe_ends), 0);
    ::close(pipe_ends[0]);
    with_stderr(pipe_ends[1], [] { log_message("nobody reads this"); });
    ::close(pipe_ends[1]);
    ::sigaction(SIGPIPE, &previous, nullptr);
    EXPECT_EQ(captured([] { log_message("after"); }), "[redizivo_varizu_rideze_do] after\n");
}

}  // namespace
}  // namespace tsb
