#include "pty/pty.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace tsb {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto deadline_span = std::chrono::seconds(10);

ShellLaunch config_for(std::vector<std::string> shell, std::string term = "xterm-256color",
                        std::uint16_t cols = 80, std::uint16_t rows = 24) {
    return ShellLaunch{std::move(shell), "/", std::move(term), cols, rows};
}

int open_descriptor_count() {
    int count = 0;
    DIR* dir = opendir("/proc/self/fd");
    while (dirent* entry = readdir(dir))
        if (entry->d_name[0] != '.') ++count;
    closedir(dir);
    return count;
}

// What the terminal showed, without the CRs the terminal adds before LFs.
std::string strip_cr(std::string text) {
    std::erase(text, '\r');
    return text;
}

// Reads the master until the terminal reports the end of output (EIO once
// no process holds the slave any more), then collects the exit status.
struct Finished {
    std::string output;
    int status = -1;
};

Finished run_to_end(PtyChild& pty) {
    Finished result;
    const auto deadline = Clock::now() + deadline_span;
    char buffer[4096];
    while (Clock::now() < deadline) {
        pollfd wait{pty.master.get(), POLLIN, 0};
        if (poll(&wait, 1, 100) <= 0) continue;
        const ssize_t n = read(pty.master.get(), buffer, sizeof buffer);
        if (n > 0) {
            result.output.append(buffer, static_cast<std::size_t>(n));
        } else if (n == 0 || errno == EIO) {
            break;
        } else if (errno != EAGAIN && errno != EINTR) {
            ADD_FAILURE() << "read failed: " << errno;
            break;
        }
    }
    while (Clock::now() < deadline) {
        auto status = pty.child.try_wait();
        if (!status) {
            ADD_FAILURE() << status.error().describe();
            break;
        }
        if (*status) {
            result.status = **status;
            break;
        }
        poll(nullptr, 0, 10);
    }
    EXPECT_NE(result.status, -1) << "the shell did not end in time";
    return result;
}

Finished run_script(const ShellLaunch& config) {
    auto pty = spawn_pty_child(config);
    if (!pty) {
        ADD_FAILURE() << pty.error().describe();
        return {};
    }
    return run_to_end(*pty);
}

struct TempFile {
    std::string path;
    explicit TempFile(const std::string& dir, const std::string& name, const char* body, mode_t mode)
        : path(dir + "/" + name) {
        std::ofstream(path) << body;
        chmod(path.c_str(), mode);
    }
    ~TempFile() { unlink(path.c_str()); }
};

struct TempDir {
    std::string path;
    TempDir() {
        char name[] = "/tmp/tsb-pty-dir-XXXXXX";
        path = mkdtemp(name);
    }
    ~TempDir() { rmdir(path.c_str()); }
};

ShellLaunch sized(std::uint16_t cols, std::uint16_t rows) {
    return config_for({"sh", "-c", "stty size"}, "xterm", cols, rows);
}

ShellLaunch in_dir(ShellLaunch config, std::string cwd) {
    config.cwd = std::move(cwd);
    return config;
}

// What the shell sees of its launch, from its own point of view.
TEST(PtyLaunch, ShellRunsWithConfiguredTerminalCommandAndDirectory) {
    TempDir dir;
    TempFile no_interpreter_line(dir.path, "script", "echo \"script ran with $1\"\n", 0755);
    setenv("TERM", "dumb", 1);
    setenv("TSB_PTY_TEST_MARK", "kept value", 1);
    struct Case {
        const char* name;
        ShellLaunch config;
        std::string output;  // CRs removed
        int exit_status;
    };
    const Case cases[] = {
        {"24x80", sized(80, 24), "24 80\n", 0},
        {"50x132", sized(132, 50), "50 132\n", 0},
        {"extreme size", sized(1, 65535), "65535 1\n", 0},
        {"environment with TERM replaced",
         config_for({"sh", "-c", R"(printf '%s|%s|' "$TERM" "$TSB_PTY_TEST_MARK"; env | grep -c '^TERM=')"},
                    "vt220-custom"),
         "vt220-custom|kept value|1\n", 0},
        {"arguments, directory, exit status",
         in_dir(config_for({"sh", "-c", R"x(printf '%s,' "$0" "$1" "$(pwd)"; exit 7)x", "zero", "one two"}), "/usr"),
         "zero,one two,/usr,", 7},
        {"controlling terminal", config_for({"sh", "-c", "echo through-dev-tty > /dev/tty"}), "through-dev-tty\n", 0},
        {"script without #! line", config_for({no_interpreter_line.path, "arg"}), "script ran with arg\n", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Finished run = run_script(c.config);
        EXPECT_EQ(strip_cr(run.output), c.output);
        EXPECT_TRUE(WIFEXITED(run.status));
        EXPECT_EQ(WEXITSTATUS(run.status), c.exit_status);
    }
    unsetenv("TSB_PTY_TEST_MARK");
    unsetenv("TERM");
    EXPECT_EQ(run_script(config_for({"sh", "-c", R"(printf '%s' "$TERM")"}, "xterm-kitty")).output, "xterm-kitty");
}

std::string read_text_file(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The fields of /proc/PID/stat after the command name.
std::vector<long long> stat_fields(pid_t pid) {
    const std::string stat = read_text_file("/proc/" + std::to_string(pid) + "/stat");
    std::istringstream rest(stat.substr(stat.rfind(')') + 2));
    std::string state;
    rest >> state;
    std::vector<long long> fields;
    long long value;
    while (rest >> value) fields.push_back(value);
    return fields;  // ppid, pgrp, session, tty_nr, tpgid, ...
}

std::string status_line(pid_t pid, const std::string& key) {
    std::istringstream status(read_text_file("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(status, line);)
        if (line.starts_with(key + ":")) return line.substr(key.size() + 2);
    return "missing";
}

std::vector<std::string> open_descriptors(pid_t pid) {
    std::vector<std::string> names;
    const std::string dir_path = "/proc/" + std::to_string(pid) + "/fd";
    DIR* dir = opendir(dir_path.c_str());
    while (dirent* entry = readdir(dir))
        if (entry->d_name[0] != '.') names.emplace_back(entry->d_name);
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

std::string link_target(const std::string& path) {
    char target[256] = {};
    const ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
    return n > 0 ? std::string(target, static_cast<std::size_t>(n)) : std::string();
}

// Reads until `wanted` has appeared; true when it did before the deadline.
bool read_until(int master, const std::string& wanted) {
    std::string seen;
    const auto deadline = Clock::now() + deadline_span;
    char buffer[1024];
    while (Clock::now() < deadline && seen.find(wanted) == std::string::npos) {
        pollfd wait{master, POLLIN, 0};
        if (poll(&wait, 1, 100) <= 0) continue;
        const ssize_t n = read(master, buffer, sizeof buffer);
        if (n <= 0 && errno != EAGAIN && errno != EINTR) return false;
        if (n > 0) seen.append(buffer, static_cast<std::size_t>(n));
    }
    return seen.find(wanted) != std::string::npos;
}

void count_usr1(int) {}

// The broker's own signal settings, descriptors and session must not reach
// the shell. `cat` is inspected from outside once it has echoed a line:
// by then it is past start-up and blocked reading its terminal.
TEST(PtyLaunch, ShellStartsCleanAsSessionLeaderOfItsTerminal) {
    struct sigaction ignore {}, usr1 {}, old_pipe {}, old_usr1 {};
    ignore.sa_handler = SIG_IGN;
    usr1.sa_handler = count_usr1;
    sigaction(SIGPIPE, &ignore, &old_pipe);
    sigaction(SIGUSR1, &usr1, &old_usr1);
    sigset_t block_int, old_mask;
    sigemptyset(&block_int);
    sigaddset(&block_int, SIGINT);
    pthread_sigmask(SIG_BLOCK, &block_int, &old_mask);
    const int descriptors_before = open_descriptor_count();
    int inheritable[2];
    ASSERT_EQ(pipe(inheritable), 0);  // deliberately not close-on-exec

    auto pty = spawn_pty_child(config_for({"cat"}));
    pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
    sigaction(SIGPIPE, &old_pipe, nullptr);
    sigaction(SIGUSR1, &old_usr1, nullptr);
    close(inheritable[0]);
    close(inheritable[1]);
    ASSERT_TRUE(pty) << pty.error().describe();
    const int master = pty->master.get();
    const pid_t pid = pty->child.pid();

    // Of the PTY only the master stays in the broker.
    EXPECT_EQ(open_descriptor_count(), descriptors_before + 1);
    EXPECT_TRUE(fcntl(master, F_GETFD) & FD_CLOEXEC);
    EXPECT_TRUE(fcntl(master, F_GETFL) & O_NONBLOCK);

    auto running = pty->child.try_wait();
    ASSERT_TRUE(running);
    EXPECT_FALSE(running->has_value());
    ASSERT_EQ(write(master, "ping\n", 5), 5);
    ASSERT_TRUE(read_until(master, "ping\r\nping\r\n"));

    const std::vector<long long> stat = stat_fields(pid);
    ASSERT_GE(stat.size(), 5u);
    EXPECT_EQ(stat[1], pid) << "process group";
    EXPECT_EQ(stat[2], pid) << "session";
    EXPECT_NE(stat[3], 0) << "controlling terminal";
    EXPECT_EQ(stat[4], pid) << "foreground process group of the terminal";

    EXPECT_EQ(open_descriptors(pid), (std::vector<std::string>{"0", "1", "2"}));
    const std::string terminal = ptsname(master);
    for (const char* fd : {"0", "1", "2"})
        EXPECT_EQ(link_target("/proc/" + std::to_string(pid) + "/fd/" + fd), terminal);

    for (const char* key : {"SigBlk", "SigIgn", "SigCgt"})
        EXPECT_EQ(status_line(pid, key), "0000000000000000") << key;

    ASSERT_EQ(write(master, "\x04", 1), 1);  // end of file for cat
    const Finished end = run_to_end(*pty);
    ASSERT_TRUE(WIFEXITED(end.status));
    EXPECT_EQ(WEXITSTATUS(end.status), 0);
    // The collected status stays with the handle; the pid is gone by now.
    auto again = pty->child.try_wait();
    ASSERT_TRUE(again && again->has_value());
    EXPECT_EQ(**again, end.status);
    EXPECT_TRUE(pty->child.reaped());
}

// A failed launch reports why and leaves nothing behind: no descriptor and
// no child process (collected, or never created).
TEST(PtyLaunch, FailuresReportTheCauseAndLeaveNothingBehind) {
    TempDir dir;
    TempFile not_executable(dir.path, "plain", "echo never\n", 0644);
    const std::string enoent = "No such file or directory (os error 2)";
    const std::string nul = "nul byte found in provided data";
    struct Case {
        const char* name;
        ShellLaunch config;
        std::string expected;
    };
    auto with_cwd = [](std::string cwd) {
        auto config = config_for({"sh", "-c", "true"});
        config.cwd = std::move(cwd);
        return config;
    };
    const Case cases[] = {
        {"missing path", config_for({"/nonexistent/tsb-program"}), enoent},
        {"missing on PATH", config_for({"tsb-no-such-program-anywhere"}), enoent},
        {"empty program", config_for({""}), enoent},
        {"empty cwd", with_cwd(""), enoent},
        {"missing cwd", with_cwd("/nonexistent-tsb-dir"), enoent},
        {"cwd is a file", with_cwd(not_executable.path), "Not a directory (os error 20)"},
        {"not executable", config_for({not_executable.path}), "Permission denied (os error 13)"},
        {"nul in program", config_for({std::string("s\0h", 3)}), nul},
        {"nul in argument", config_for({"sh", "-c", std::string("true\0", 5)}), nul},
        {"nul in cwd", with_cwd(std::string("/\0tmp", 5)), nul},
        {"nul in term", config_for({"sh"}, std::string("xterm\0", 6)), nul},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const int before = open_descriptor_count();
        auto pty = spawn_pty_child(c.config);
        ASSERT_FALSE(pty);
        EXPECT_EQ(pty.error().describe(), c.expected);
        EXPECT_EQ(open_descriptor_count(), before);
        EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
        EXPECT_EQ(errno, ECHILD);
    }
}

// Like execvp: a match that may not be executed does not stop the search,
// and is what gets reported when nothing else matches.
TEST(PtyLaunch, PathSearchSkipsEntriesThatCannotBeExecuted) {
    TempDir first, second;
    TempFile blocked(first.path, "tsb-prog", "echo blocked\n", 0644);
    TempFile runnable(second.path, "tsb-prog", "echo from second\n", 0755);
    const std::string saved_path = getenv("PATH");

    setenv("PATH", ("/nonexistent:" + first.path + ":" + second.path).c_str(), 1);
    const Finished run = run_script(config_for({"tsb-prog"}));
    EXPECT_EQ(strip_cr(run.output), "from second\n");

    setenv("PATH", ("/nonexistent:" + first.path).c_str(), 1);
    auto refused = spawn_pty_child(config_for({"tsb-prog"}));
    setenv("PATH", saved_path.c_str(), 1);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error(), Error::os(EACCES));
}

}  // namespace
}  // namespace tsb
