#include "outer_terminal.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <gtest/gtest.h>

extern char** environ;

namespace tsb::test {

namespace {

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> out;
    for (std::string& s : strings) out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

}  // namespace

std::vector<std::string> attach_command(std::vector<std::string> args) {
    args.insert(args.begin(), TSB_ATTACH_PATH);
    return args;
}

std::vector<std::string> attach_environment() {
    std::vector<std::string> env;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string_view variable(*entry);
        if (!variable.starts_with("TERMINAL_STREAM_") && !variable.starts_with("SHELL="))
            env.emplace_back(variable);
    }
    env.emplace_back("SHELL=" + std::string(attach_shell));
    return env;
}

OuterTerminal::OuterTerminal(unsigned short cols, unsigned short rows) {
    master_.reset(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!master_ || ::grantpt(master_.get()) != 0 || ::unlockpt(master_.get()) != 0) {
        ADD_FAILURE() << "cannot open a PTY: " << std::strerror(errno);
        return;
    }
    slave_.reset(::open(::ptsname(master_.get()), O_RDWR | O_NOCTTY | O_CLOEXEC));
    ::fcntl(master_.get(), F_SETFL, O_NONBLOCK);
    resize(cols, rows);
}

OuterTerminal::~OuterTerminal() {
    if (pid_ > 0 && !status_) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
}

void OuterTerminal::start(const std::vector<std::string>& args) {
    std::vector<std::string> command = attach_command(args);
    std::vector<std::string> env = attach_environment();
    std::vector<char*> argv = pointers(command), envp = pointers(env);
    const int slave = slave_.get();

    pid_ = ::fork();
    if (pid_ == 0) {
        // Only async-signal-safe calls until exec.
        if (::setsid() < 0 || ::ioctl(slave, TIOCSCTTY, 0) != 0) ::_exit(126);
        for (int fd = 0; fd <= 2; ++fd)
            if (::dup2(slave, fd) < 0) ::_exit(126);
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    ASSERT_GT(pid_, 0) << std::strerror(errno);
    pidfd_.reset(static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0)));
    ASSERT_TRUE(pidfd_.valid()) << std::strerror(errno);
}

void OuterTerminal::type(std::string_view keys) {
    while (!keys.empty()) {
        const ssize_t written = ::write(master_.get(), keys.data(), keys.size());
        if (written < 0 && errno == EAGAIN) {
            read_some(10ms);  // the client may be waiting for us to read
            continue;
        }
        ASSERT_GT(written, 0) << std::strerror(errno);
        keys.remove_prefix(static_cast<std::size_t>(written));
    }
}

void OuterTerminal::resize(unsigned short cols, unsigned short rows) {
    winsize size{};
    size.ws_col = cols;
    size.ws_row = rows;
    // On the master: the kernel then signals the terminal's foreground
    // process group with SIGWINCH, as a terminal emulator's resize does.
    ASSERT_EQ(::ioctl(master_.get(), TIOCSWINSZ, &size), 0) << std::strerror(errno);
}

std::string OuterTerminal::modes() const {
    termios modes{};
    if (::tcgetattr(slave_.get(), &modes) != 0) return "tcgetattr failed";
    char field[32];
    std::snprintf(field, sizeof field, "%x:%x:%x:%x", modes.c_iflag, modes.c_oflag, modes.c_cflag,
                  modes.c_lflag);
    std::string text = field;
    for (const cc_t c : modes.c_cc) {
        std::snprintf(field, sizeof field, ":%x", c);
        text += field;
    }
    return text;
}

bool OuterTerminal::read_some(std::chrono::milliseconds timeout) {
    pollfd fds[2] = {{master_.get(), POLLIN, 0}, {status_ ? -1 : pidfd_.get(), POLLIN, 0}};
    if (::poll(fds, 2, static_cast<int>(timeout.count())) <= 0) return false;
    char buffer[65536];
    ssize_t got;
    while ((got = ::read(master_.get(), buffer, sizeof buffer)) > 0)
        output_.append(buffer, static_cast<std::size_t>(got));
    if (fds[1].revents != 0) {
        int status = 0;
        if (::waitpid(pid_, &status, 0) == pid_) status_ = status;
    }
    return true;
}

bool OuterTerminal::wait_for_output(std::string_view text, std::chrono::milliseconds deadline) {
    const auto until = std::chrono::steady_clock::now() + deadline;
    while (output_.find(text) == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            until - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        read_some(left);
    }
    return true;
}

bool OuterTerminal::wait_for_any_output(std::chrono::milliseconds deadline) {
    const auto until = std::chrono::steady_clock::now() + deadline;
    while (output_.empty() && std::chrono::steady_clock::now() < until)
        read_some(std::chrono::duration_cast<std::chrono::milliseconds>(
            until - std::chrono::steady_clock::now()));
    return !output_.empty();
}

std::optional<std::string> OuterTerminal::wait_for_match(const std::regex& pattern,
                                                         std::chrono::milliseconds deadline) {
    const auto until = std::chrono::steady_clock::now() + deadline;
    for (;;) {
        std::smatch match;
        if (std::regex_search(output_, match, pattern)) return match[1].str();
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            until - std::chrono::steady_clock::now());
        if (left.count() <= 0) return std::nullopt;
        read_some(left);
    }
}

std::optional<int> OuterTerminal::wait_exit(std::chrono::milliseconds deadline) {
    const auto until = std::chrono::steady_clock::now() + deadline;
    while (!status_) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            until - std::chrono::steady_clock::now());
        if (left.count() <= 0) return std::nullopt;
        read_some(left);
    }
    // What the client wrote last is still waiting on the master.
    read_some(0ms);
    return status_;
}

}  // namespace tsb::test
