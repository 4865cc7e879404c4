// End-to-end: terminal-stream-attach under a real PTY that plays the
// person's terminal, with the real broker found beside the client.

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <regex>
#include <thread>

#include <gtest/gtest.h>

#include "attach/terminal_modes.hpp"
#include "outer_terminal.hpp"

namespace tsb::test {
namespace {

const std::regex broker_pid_line(R"(broker=(\d+)\.)");

// Starts the default shell and waits for its first output: from then on the
// client has the terminal in raw mode, and keys typed go to the shell.
void start_shell(OuterTerminal& terminal, const std::vector<std::string>& args = {}) {
    terminal.start(args);
    ASSERT_TRUE(terminal.wait_for_any_output()) << "no prompt";
}

// The broker's pid, as the shell (its child) reports it.
pid_t broker_pid(OuterTerminal& terminal) {
    terminal.type("echo broker=$PPID.\r");
    const auto pid = terminal.wait_for_match(broker_pid_line);
    return pid ? static_cast<pid_t>(std::stoi(*pid)) : -1;
}

TEST(AttachE2E, TypedCommandShowsItsOutput) {
    OuterTerminal terminal;
    const std::string before = terminal.modes();
    start_shell(terminal);
    // Without a command the shell is $SHELL. The typed line echoes as
    // typed; the command's output is the line that is only "[/bin/sh]".
    terminal.type("echo \"[$0]\"\r");
    EXPECT_TRUE(terminal.wait_for_output("\n[" + std::string(attach_shell) + "]\r\n")) << terminal.output();
    EXPECT_NE(terminal.modes(), before) << "the client did not switch to raw mode";
    terminal.type("exit\r");
    const auto status = terminal.wait_exit();
    ASSERT_TRUE(status) << terminal.output();
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;
    EXPECT_EQ(terminal.modes(), before);
}

struct ExitCase {
    const char* name;
    std::vector<std::string> args;
    std::string typed;   // after the first output
    int status;          // the client's exit status
    std::string output;  // seen before the end
};

void PrintTo(const ExitCase& c, std::ostream* os) { *os << c.name; }

class AttachExitStatus : public ::testing::TestWithParam<ExitCase> {};

TEST_P(AttachExitStatus, IsTheShellsAndTheModesComeBack) {
    const ExitCase& c = GetParam();
    OuterTerminal terminal;
    const std::string before = terminal.modes();
    terminal.start(c.args);
    if (!c.typed.empty()) {
        ASSERT_TRUE(terminal.wait_for_any_output());
        terminal.type(c.typed);
    }
    const auto status = terminal.wait_exit();
    ASSERT_TRUE(status) << terminal.output();
    EXPECT_TRUE(WIFEXITED(*status)) << *status;
    EXPECT_EQ(WEXITSTATUS(*status), c.status) << terminal.output().substr(0, 2000);
    EXPECT_NE(terminal.output().find(c.output), std::string::npos);
    EXPECT_EQ(terminal.modes(), before);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AttachExitStatus,
    ::testing::Values(
        ExitCase{"exit_7", {}, "exit 7\r", 7, "exit 7"},
        ExitCase{"killed_by_sigkill", {"--", "sh", "-c", "kill -KILL $$"}, "", 137, ""},
        // More output than one flow-control window: the client must keep
        // acknowledging for the shell's end to arrive.
        ExitCase{"much_output", {"--", "sh", "-c", "seq 1 100000; exit 3"}, "", 3, "\n100000\r\n"},
        // A broker that stops writing while a window of output is not
        // acknowledged.
        ExitCase{"flow_control", {"--broker", TSB_FLOW_BROKER}, "", 5, "done\r\n"},
        ExitCase{"broker_cannot_start",
                 {"--broker", "/nonexistent/terminal-stream-broker"},
                 "",
                 1,
                 "cannot start the broker /nonexistent/terminal-stream-broker"}),
    [](const ::testing::TestParamInfo<ExitCase>& param) { return std::string(param.param.name); });

TEST(AttachE2E, BrokerKilledRestoresTheTerminalAndSaysSo) {
    OuterTerminal terminal;
    const std::string before = terminal.modes();
    start_shell(terminal);
    const pid_t broker = broker_pid(terminal);
    ASSERT_GT(broker, 0) << terminal.output();
    ASSERT_EQ(::kill(broker, SIGKILL), 0);
    const auto status = terminal.wait_exit();
    ASSERT_TRUE(status) << terminal.output();
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 1) << *status;
    EXPECT_NE(terminal.output().find("broker ended without a closed line (killed by signal 9)"),
              std::string::npos)
        << terminal.output();
    EXPECT_EQ(terminal.modes(), before);
}

TEST(AttachE2E, SigtermRestoresTheTerminalAndEndsTheBroker) {
    OuterTerminal terminal;
    const std::string before = terminal.modes();
    start_shell(terminal);
    // A full-screen program's switches, left on when the client is stopped.
    terminal.type("printf '\\033[?1049h\\033[?2004h\\033[?25l'; echo switched=on.\r");
    ASSERT_TRUE(terminal.wait_for_output("switched=on.\r\n"));
    const pid_t broker = broker_pid(terminal);
    ASSERT_GT(broker, 0) << terminal.output();
    const std::size_t seen = terminal.output().size();

    ASSERT_EQ(::kill(terminal.pid(), SIGTERM), 0);
    const auto status = terminal.wait_exit();
    ASSERT_TRUE(status) << terminal.output();
    EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == SIGTERM) << *status;
    EXPECT_EQ(terminal.modes(), before);
    EXPECT_NE(terminal.output().find(attach::terminal_reset_sequence, seen), std::string::npos);
    // The client reaped the broker before it ended.
    EXPECT_EQ(::kill(broker, 0), -1);
    EXPECT_EQ(errno, ESRCH);
}

// True once `pid` runs nothing: gone, or a zombie that its new parent has
// not collected yet.
bool process_gone(pid_t pid) {
    if (::kill(pid, 0) != 0) return errno == ESRCH;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    const std::size_t state = line.rfind(") ");
    return state == std::string::npos || line.substr(state + 2, 1) == "Z";
}

// The client's death must end the session it started, broker and shell, in
// the few seconds the broker's termination ladder takes (an interactive
// bash ignores SIGTERM); nothing may be left behind for pid 1.
TEST(AttachE2E, ClientDeathLeavesNoBrokerAndNoShell) {
    const std::regex session_pids(R"(pids=(\d+\.\d+)\.)");
    for (const int signal : {SIGKILL, SIGHUP}) {
        SCOPED_TRACE(strsignal(signal));
        OuterTerminal terminal;
        start_shell(terminal, {"--", "bash", "--norc", "--noprofile", "-i"});
        terminal.type("echo pids=$PPID.$$.\r");
        const auto pids = terminal.wait_for_match(session_pids);
        ASSERT_TRUE(pids) << terminal.output();
        const pid_t broker = std::stoi(*pids), shell = std::stoi(pids->substr(pids->find('.') + 1));

        ASSERT_EQ(::kill(terminal.pid(), signal), 0);
        const auto status = terminal.wait_exit();
        ASSERT_TRUE(status);
        if (signal == SIGHUP) {
            // A hang-up is the way a window closes: the client ends at once.
            EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 129) << *status;
        }
        bool gone = false;
        for (const auto until = std::chrono::steady_clock::now() + attach_deadline;
             !gone && std::chrono::steady_clock::now() < until;
             std::this_thread::sleep_for(50ms))
            gone = process_gone(broker) && process_gone(shell);
        EXPECT_TRUE(gone) << "broker " << broker << ", shell " << shell;
    }
}

TEST(AttachE2E, ShellSeesTheLocalSizeAndItsChanges) {
    OuterTerminal terminal(90, 20);
    start_shell(terminal);
    terminal.type("stty size\r");
    EXPECT_TRUE(terminal.wait_for_output("20 90\r\n")) << terminal.output();
    terminal.resize(100, 30);
    // The client learns of the change from SIGWINCH, whose handler may run
    // after keys typed just after the resize (a sanitizer defers it): ask
    // again until the new size shows.
    bool shown = false;
    for (const auto until = std::chrono::steady_clock::now() + attach_deadline;
         !shown && std::chrono::steady_clock::now() < until;) {
        terminal.type("stty size\r");
        shown = terminal.wait_for_output("30 100\r\n", 2s);
    }
    EXPECT_TRUE(shown) << terminal.output();
    terminal.type("exit\r");
    EXPECT_TRUE(terminal.wait_exit());
}

// Runs the client with standard input and output each a PTY or not; returns
// its wait status and what it wrote to standard error.
std::pair<int, std::string> run_with_streams(bool stdin_tty, bool stdout_tty) {
    int master = -1, slave = -1;
    EXPECT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    Fd master_owner(master), slave_owner(slave);
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave, F_SETFD, FD_CLOEXEC);
    Fd null(::open("/dev/null", O_RDWR | O_CLOEXEC));
    int pipe_ends[2];
    EXPECT_EQ(::pipe2(pipe_ends, O_CLOEXEC), 0);
    Fd read_end(pipe_ends[0]), write_end(pipe_ends[1]);

    std::vector<std::string> command = attach_command({}), env = attach_environment();
    std::vector<char*> argv, envp;
    for (auto& s : command) argv.push_back(s.data());
    for (auto& s : env) envp.push_back(s.data());
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    const int in = stdin_tty ? slave : null.get(), out = stdout_tty ? slave : write_end.get();

    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::dup2(in, 0) < 0 || ::dup2(out, 1) < 0 || ::dup2(write_end.get(), 2) < 0) ::_exit(126);
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    write_end.reset();
    std::string text;
    char buffer[4096];
    pollfd waiting{read_end.get(), POLLIN, 0};
    while (::poll(&waiting, 1, static_cast<int>(attach_deadline.count())) > 0) {
        const ssize_t got = ::read(read_end.get(), buffer, sizeof buffer);
        if (got <= 0) break;
        text.append(buffer, static_cast<std::size_t>(got));
    }
    ::kill(pid, SIGKILL);  // only if it still runs after the deadline
    int status = 0;
    ::waitpid(pid, &status, 0);
    return {status, text};
}

TEST(AttachE2E, WithoutATerminalOnBothStreamsExitsWithStatus2) {
    for (const auto& [stdin_tty, stdout_tty] : {std::pair{false, false}, {true, false}, {false, true}}) {
        SCOPED_TRACE(testing::Message() << "stdin tty " << stdin_tty << ", stdout tty " << stdout_tty);
        const auto [status, text] = run_with_streams(stdin_tty, stdout_tty);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << status;
        EXPECT_EQ(text,
                  "terminal-stream-attach: standard input and standard output must be a terminal\n");
    }
}

}  // namespace
}  // namespace tsb::test
