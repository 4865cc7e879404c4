// End-to-end: the real broker binary driven over its standard streams.

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>

#include <gtest/gtest.h>

#include "support/broker_process.hpp"

namespace tsb::test {
namespace {

using nlohmann::json;

constexpr std::string_view prefix = "[redizivo_varizu_rideze_do] ";

std::string ready_cwd() {
    return std::filesystem::current_path().string();
}

bool proc_exists(pid_t pid) { return ::access(("/proc/" + std::to_string(pid)).c_str(), F_OK) == 0; }

TEST(BrokerEndToEnd, DefaultsRunAnInteractiveShellAndRelayItsOutput) {
    BrokerProcess broker({.env = {{"TERM", std::nullopt}}});
    auto ready = broker.next_event();
    ASSERT_TRUE(ready);
    EXPECT_EQ((*ready)["type"], "ready");
    EXPECT_EQ((*ready)["shell"], json::array({"sh", "-i"}));
    EXPECT_EQ((*ready)["cwd"], ready_cwd());
    EXPECT_GT((*ready)["pid"].get<int>(), 0);
    const std::string first_line = broker.stdout_bytes().substr(0, broker.stdout_bytes().find('\n'));
    EXPECT_EQ(first_line, ready->dump()) << "keys must be sorted, no blanks";

    broker.send_input("echo \"$TERM\" $((6*7)); stty size\n");
    EXPECT_TRUE(broker.wait_for_output("xterm-256color 42\r\n24 80"));
    broker.send_ping("n-1");
    auto pong = broker.wait_for("pong");
    ASSERT_TRUE(pong);
    EXPECT_EQ(pong->dump(), R"({"nonce":"n-1","type":"pong"})");

    broker.send_input("exit 5\n");
    auto closed = broker.wait_for("closed");
    ASSERT_TRUE(closed);
    EXPECT_EQ((*closed)["exit_code"], 5);
    EXPECT_EQ((*closed)["reason"], "exited");
    EXPECT_EQ(broker.wait_exit(), 5);
}

TEST(BrokerEndToEnd, DataEventsAreNumberedAndClosedFollowsTheLastOne) {
    BrokerProcess broker({.shell = sh("printf 'one\\n'; sleep 0.05; printf 'two\\n'; exit 3")});
    ASSERT_TRUE(broker.read_to_end());
    const auto& events = broker.events();
    ASSERT_GE(events.size(), 3u);
    EXPECT_EQ(events.front()["type"], "ready");
    std::uint64_t expected_seq = 1;
    for (std::size_t i = 1; i + 1 < events.size(); ++i) {
        EXPECT_EQ(events[i]["type"], "data");
        EXPECT_EQ(events[i]["seq"], expected_seq++);
    }
    const json& closed = events.back();
    EXPECT_EQ(closed["type"], "closed");
    EXPECT_EQ(closed["seq"], expected_seq);
    EXPECT_EQ(closed["exit_code"], 3);
    EXPECT_EQ(closed["reason"], "exited");
    EXPECT_EQ(broker.output(), "one\r\ntwo\r\n");
    EXPECT_EQ(broker.wait_exit(), 3);
    EXPECT_EQ(broker.stderr_text(), "");
}

TEST(BrokerEndToEnd, ShellWithoutOutputClosesWithSeqOne) {
    BrokerProcess broker({.shell = sh("exit 0")});
    auto closed = broker.wait_for("closed");
    ASSERT_TRUE(closed);
    EXPECT_TRUE(closed->dump().starts_with(R"({"exit_code":0,"reason":"exited","seq":1,"ts":)"))
        << closed->dump();
    EXPECT_EQ(broker.wait_exit(), 0);
}

TEST(BrokerEndToEnd, OutputWrittenJustBeforeExitIsRelayedBeforeClosed) {
    // 200 KB in one burst, then exit at once.
    BrokerProcess broker({.shell = python("import os\nos.write(1, b'x' * 200000 + b'END')")});
    ASSERT_TRUE(broker.read_to_end());
    EXPECT_EQ(broker.output().size(), 200003u);
    EXPECT_TRUE(broker.output().ends_with("END"));
    EXPECT_EQ(broker.events().back()["type"], "closed");
}

TEST(BrokerEndToEnd, BackgroundProcessKeepsTheTerminalOpen) {
    BrokerProcess broker(
        {.shell = sh("trap '' HUP; (sleep 0.3; echo late) & echo early; exit 4")});
    ASSERT_TRUE(broker.read_to_end());
    EXPECT_NE(broker.output().find("late"), std::string::npos) << broker.output();
    EXPECT_EQ(broker.events().back()["exit_code"], 4);
}

TEST(BrokerEndToEnd, ShellKilledBySignalGivesNullExitCodeAndStatusZero) {
    BrokerProcess broker({.shell = sh("kill -9 $$")});
    auto closed = broker.wait_for("closed");
    ASSERT_TRUE(closed);
    EXPECT_TRUE((*closed)["exit_code"].is_null());
    EXPECT_EQ((*closed)["reason"], "signal:9");
    EXPECT_EQ(broker.wait_exit(), 0);
}

TEST(BrokerEndToEnd, DestroyTerminatesTheShell) {
    BrokerProcess broker({.shell = sh("sleep 60")});
    ASSERT_TRUE(broker.next_event());
    broker.send_destroy();
    auto closed = broker.wait_for("closed");
    ASSERT_TRUE(closed);
    EXPECT_EQ((*closed)["reason"], "signal:15");
    EXPECT_EQ(broker.wait_exit(), 0);
}

// A shell that survives SIGTERM, says so, and exits on the next input line;
// it also ignores the hang-up that follows an unanswered SIGTERM.
std::vector<std::string> term_reporting_shell() {
    return python(
        "import signal, sys, os\n"
        "signal.signal(signal.SIGTERM, lambda n, f: os.write(1, b'got %d\\n' % n))\n"
        "signal.signal(signal.SIGINT, lambda n, f: os.write(1, b'got %d\\n' % n))\n"
        "signal.signal(signal.SIGHUP, signal.SIG_IGN)\n"
        "os.write(1, b'armed\\n')\n"
        "sys.stdin.readline()\n"
        "sys.exit(7)\n");
}

TEST(BrokerEndToEnd, ShellThatSurvivesDestroyEndsAsTerminated) {
    BrokerProcess broker({.shell = term_reporting_shell()});
    ASSERT_TRUE(broker.wait_for_output("armed"));
    // Each destroy sends SIGTERM again.
    broker.send_destroy();
    ASSERT_TRUE(broker.wait_for_output("got 15\r\n"));
    broker.send_destroy();
    ASSERT_TRUE(broker.wait_for_output("got 15\r\ngot 15\r\n"));
    broker.send_input("bye\n");
    auto closed = broker.wait_for("closed");
    ASSERT_TRUE(closed);
    EXPECT_EQ((*closed)["exit_code"], 7);
    EXPECT_EQ((*closed)["reason"], "terminated");
    EXPECT_EQ(broker.wait_exit(), 7);
}

TEST(BrokerEndToEnd, SignalsToTheBrokerBecomeSigtermForTheShell) {
    for (const int sig : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(sig);
        BrokerProcess broker({.shell = term_reporting_shell()});
        ASSERT_TRUE(broker.wait_for_output("armed"));
        ::kill(broker.pid(), sig);
        ASSERT_TRUE(broker.wait_for_output("got 15\r\n"));
        EXPECT_EQ(broker.output().find("got 2"), std::string::npos);
        broker.send_input("\n");
        auto closed = broker.wait_for("closed");
        ASSERT_TRUE(closed);
        EXPECT_EQ((*closed)["reason"], "terminated");
        EXPECT_EQ(broker.wait_exit(), 7);
    }
}

TEST(BrokerEndToEnd, EndOfStdinTerminatesTheShell) {
    BrokerProcess broker({.shell = sh("sleep 60")});
    ASSERT_TRUE(broker.next_event());
    broker.close_stdin();
    auto closed = broker.wait_for("closed");
    ASSERT_TRUE(closed);
    EXPECT_EQ((*closed)["reason"], "signal:15");
    EXPECT_EQ(broker.wait_exit(), 0);
}

TEST(BrokerEndToEnd, StdinNotOpenAtStartTerminatesTheShellWithoutDiagnostics) {
    BrokerProcess broker({.shell = sh("sleep 60"), .stdin_closed = true});
    auto closed = broker.wait_for("closed");
    ASSERT_TRUE(closed);
    EXPECT_EQ((*closed)["reason"], "signal:15");
    EXPECT_EQ(broker.wait_exit(), 0);
    EXPECT_EQ(broker.stderr_text(), "");
}

TEST(BrokerEndToEnd, ClosedStderrLosesDiagnosticsAndNothingElse) {
    BrokerProcess broker({.shell = sh("read line; echo \"got $line\"; exit 2"),
                          .stderr_closed = true});
    ASSERT_TRUE(broker.next_event());
    broker.send_line("not json");
    broker.send_line(R"({"jsonrpc":"2.0","method":"no.such.method"})");
    broker.send_ping("after");
    ASSERT_TRUE(broker.wait_for("pong"));
    broker.send_input("x\n");
    ASSERT_TRUE(broker.read_to_end());
    EXPECT_NE(broker.output().find("got x"), std::string::npos);
    EXPECT_EQ(broker.events().back()["exit_code"], 2);
    EXPECT_EQ(broker.wait_exit(), 2);
}

TEST(BrokerEndToEnd, PeerClosingStdoutEndsTheBrokerWithStatusOne) {
    BrokerProcess broker({.shell = sh("read line; echo after; sleep 60")});
    ASSERT_TRUE(broker.next_event());
    broker.close_stdout();
    broker.send_input("go\n");
    EXPECT_EQ(broker.wait_exit(), 1);
    EXPECT_EQ(broker.stderr_text(),
              std::string(prefix) + "broker main loop failed: Broken pipe (os error 32)\n");
}

TEST(BrokerEndToEnd, LaunchFailuresEndWithOneDiagnosticAndNothingOnStdout) {
    const std::string not_executable = ::testing::TempDir() + "tsb-not-executable";
    std::ofstream(not_executable) << "#!/bin/sh\n";
    ::chmod(not_executable.c_str(), 0644);

    struct Case {
        std::string name;
        BrokerOptions options;
        std::string error;
    };
    const std::vector<Case> cases = {
        {"missing program", {.shell = std::vector<std::string>{"/nonexistent/shell"}},
         "No such file or directory (os error 2)"},
        {"missing program on PATH", {.shell = std::vector<std::string>{"no-such-shell-here"}},
         "No such file or directory (os error 2)"},
        {"missing cwd", {.env = {{"TERMINAL_STREAM_CWD", "/nonexistent/dir"}}},
         "No such file or directory (os error 2)"},
        {"empty cwd", {.env = {{"TERMINAL_STREAM_CWD", ""}}},
         "No such file or directory (os error 2)"},
        {"not executable", {.shell = std::vector<std::string>{not_executable}},
         "Permission denied (os error 13)"},
        {"nul byte", {.shell = std::vector<std::string>{"sh", std::string("a\0b", 3)}},
         "nul byte found in provided data"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        BrokerProcess broker(c.options);
        EXPECT_EQ(broker.wait_exit(), 1);
        EXPECT_EQ(broker.stderr_text(),
                  std::string(prefix) + "failed to spawn PTY child: " + c.error + "\n");
        broker.read_to_end();
        EXPECT_EQ(broker.stdout_bytes(), "");
    }
}

TEST(BrokerEndToEnd, WindowSizeFollowsConfigurationConnectAndResize) {
    BrokerProcess broker({.env = {{"TERMINAL_STREAM_COLS", "132"}, {"TERMINAL_STREAM_ROWS", " 50 "}},
                          .shell = sh("stty size; while read line; do stty size; done")});
    ASSERT_TRUE(broker.wait_for_output("50 132\r\n"));
    struct Step {
        std::string command;
        std::string expected;
    };
    const std::vector<Step> steps = {
        {R"({"jsonrpc":"2.0","method":"terminal.resize","params":{"cols":100,"rows":30}})", "30 100"},
        {R"({"jsonrpc":"2.0","method":"terminal.connect","params":{"cols":90}})", "30 100"},
        {R"({"jsonrpc":"2.0","method":"terminal.connect","params":{"cols":"91","rows":21}})", "21 91"},
        {R"({"jsonrpc":"2.0","method":"terminal.resize"})", "24 80"},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.command);
        broker.send_line(step.command);
        broker.send_input("x\n");
        ASSERT_TRUE(broker.wait_for_output("x\r\n" + step.expected + "\r\n"));
    }
}

TEST(BrokerEndToEnd, ShellLeadsItsOwnSessionOnTheTerminal) {
    BrokerProcess broker({.env = {{"TERM", "vt100"}},
                          .shell = python(
                              "import os, signal\n"
                              "tty = os.ttyname(0)\n"
                              "same = tty == os.ttyname(1) == os.ttyname(2)\n"
                              "ctty = os.open('/dev/tty', os.O_RDWR) >= 0\n"
                              "ids = os.getpid() == os.getsid(0) == os.getpgrp() == os.tcgetpgrp(0)\n"
                              "print('RESULT', same, ctty, ids, os.environ['TERM'])\n")});
    ASSERT_TRUE(broker.read_to_end());
    EXPECT_NE(broker.output().find("RESULT True True True vt100"), std::string::npos)
        << broker.output();
}

TEST(BrokerEndToEnd, ShellInheritsOnlyTheTerminalAndACleanSignalState) {
    // The programs run as the shell themselves, so they see exactly what the
    // broker started them with; `ls` adds one descriptor of its own (3) for
    // the directory it lists.
    BrokerProcess fds({.shell = std::vector<std::string>{"ls", "-1", "/proc/self/fd"}});
    ASSERT_TRUE(fds.read_to_end());
    EXPECT_EQ(fds.output(), "0\r\n1\r\n2\r\n3\r\n");

    BrokerProcess signals(
        {.shell = std::vector<std::string>{"grep", "-E", "^Sig(Blk|Ign)", "/proc/self/status"}});
    ASSERT_TRUE(signals.read_to_end());
    unsigned long long blocked = ~0ULL, ignored = ~0ULL;
    ASSERT_EQ(std::sscanf(signals.output().c_str(), "SigBlk: %llx SigIgn: %llx", &blocked, &ignored), 2)
        << signals.output();
    EXPECT_EQ(blocked, 0u);
    // No standard signal is ignored (SIGPIPE above all, which the broker
    // itself ignores). Bits above 31 belong to the C library's internal
    // real-time signals, which a spawning peer may hand over as ignored.
    EXPECT_EQ(ignored & 0x7FFFFFFFULL, 0u) << signals.output();
}

TEST(BrokerEndToEnd, CommandsSentBeforeStartUpAreKeptInOrder) {
    BrokerProcess broker({.shell = sh("sleep 60")});
    broker.send_ping(1);
    broker.send_ping(json{{"b", 1}, {"a", 1.0}});
    broker.send_ping(nullptr);
    broker.send_line(R"({"jsonrpc":"2.0","method":"terminal.ping"})");
    auto ready = broker.next_event();
    ASSERT_TRUE(ready);
    EXPECT_EQ((*ready)["type"], "ready");
    std::vector<std::string> pongs;
    for (int i = 0; i < 4; ++i) pongs.push_back(broker.wait_for("pong").value_or(json()).dump());
    EXPECT_EQ(pongs, (std::vector<std::string>{R"({"nonce":1,"type":"pong"})",
                                               R"({"nonce":{"a":1.0,"b":1},"type":"pong"})",
                                               R"({"nonce":null,"type":"pong"})",
                                               R"({"nonce":null,"type":"pong"})"}));
}

TEST(BrokerEndToEnd, RejectedLinesCostOneDiagnosticEachAndReadingGoesOn) {
    BrokerProcess broker({.shell = sh("sleep 60")});
    ASSERT_TRUE(broker.next_event());
    broker.send_raw("\r\n   \t \n");                                   // blank: skipped
    broker.send_raw("x\n");                                          // not JSON
    broker.send_raw("{\"jsonrpc\":\"2.0\",\"method\":\"a\\nb\"}\n");  // forged line break
    broker.send_raw("{\"jsonrpc\":\"2.0\",\"method\":\"\xff\"}\n");   // not UTF-8
    broker.send_ping("still here");
    ASSERT_TRUE(broker.wait_for("pong"));
    const std::string& err = broker.stderr_text();
    std::vector<std::string> lines;
    for (std::size_t at = 0; at < err.size();) {
        const auto end = err.find('\n', at);
        lines.push_back(err.substr(at, end - at));
        at = end + 1;
    }
    ASSERT_EQ(lines.size(), 3u) << err;
    EXPECT_TRUE(lines[0].starts_with(std::string(prefix) + "bad JSON command: ")) << lines[0];
    EXPECT_EQ(lines[1], std::string(prefix) + "unsupported JSON-RPC method: a\\nb");
    EXPECT_TRUE(lines[2].starts_with(std::string(prefix) + "bad JSON command: ")) << lines[2];
    EXPECT_NE(lines[2].find("UTF-8"), std::string::npos) << lines[2];
    EXPECT_EQ(broker.events().size(), 2u) << "rejected lines are never answered on stdout";
}

TEST(BrokerEndToEnd, LargePasteIsEchoedCompleteAndInOrderBeforeALaterPing) {
    constexpr std::size_t total = 2 * 1024 * 1024;
    std::string paste(total, '\0');
    std::mt19937 random(42);
    for (char& c : paste) c = static_cast<char>('a' + random() % 26);

    BrokerProcess broker({.shell = raw_echo_program(total)});
    ASSERT_TRUE(broker.wait_for_output("R"));
    for (std::size_t at = 0; at < total; at += 65536)
        broker.send_input(std::string_view(paste).substr(at, 65536));
    broker.send_ping("after");
    auto pong = broker.wait_for("pong", 120s);
    ASSERT_TRUE(pong);
    // The ping is answered only once the whole paste has reached the
    // terminal; by then nearly all of it has been echoed back.
    const std::size_t echoed_before_pong = broker.output().size() - 1;
    EXPECT_GE(echoed_before_pong + 256 * 1024, total);
    ASSERT_TRUE(broker.read_to_end(120s));
    EXPECT_TRUE(broker.output() == "R" + paste) << "echo differs; got " << broker.output().size();
    EXPECT_EQ(broker.events().back()["exit_code"], 0);
}

TEST(BrokerEndToEnd, ReapedShellIsNotSignalledAgain) {
    BrokerProcess broker(
        {.shell = sh("trap '' HUP; (sleep 2; echo late) & exit 0")});
    auto ready = broker.next_event();
    ASSERT_TRUE(ready);
    const pid_t shell_pid = (*ready)["pid"].get<pid_t>();
    // The shell is gone (reaped) while its background job keeps the
    // terminal open.
    const auto until = std::chrono::steady_clock::now() + default_deadline;
    while (proc_exists(shell_pid) && std::chrono::steady_clock::now() < until) ::usleep(5000);
    ASSERT_FALSE(proc_exists(shell_pid));
    broker.send_destroy();
    ASSERT_TRUE(broker.read_to_end());
    EXPECT_EQ(broker.stderr_text(), "");
    // The shell had exited by itself before the request.
    EXPECT_EQ(broker.events().back()["reason"], "exited");
}

TEST(BrokerEndToEnd, ShellCommandFromArgumentsAfterDoubleDash) {
    BrokerProcess broker({.args = {"a", "--", "sh", "-c", "echo \"[$0]\"", "--"}});
    ASSERT_TRUE(broker.read_to_end());
    EXPECT_EQ(broker.events().front()["shell"], json::array({"sh", "-c", "echo \"[$0]\"", "--"}));
    EXPECT_EQ(broker.output(), "[--]\r\n");
}

TEST(BrokerEndToEnd, ArgumentThatIsNotUtf8StartsNoShell) {
    BrokerProcess broker({.args = {"--", "sh", "-c", "echo \xff"}});
    EXPECT_EQ(broker.wait_exit(), 1);
    const std::string err = broker.stderr_text();
    EXPECT_TRUE(err.starts_with(std::string(prefix))) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    broker.read_to_end();
    EXPECT_EQ(broker.stdout_bytes(), "");
}

TEST(BrokerEndToEnd, TimedFallbackWithoutProcessDescriptorStillReportsTheEnd) {
    BrokerProcess broker({.env = {{"TERMINAL_STREAM_NO_PIDFD", "1"}},
                          .shell = sh("read line; echo \"got $line\"; exit 6")});
    ASSERT_TRUE(broker.next_event());
    broker.send_input("hi\n");
    ASSERT_TRUE(broker.read_to_end());
    EXPECT_NE(broker.output().find("got hi"), std::string::npos);
    EXPECT_EQ(broker.events().back()["exit_code"], 6);
    EXPECT_EQ(broker.wait_exit(), 6);
}

// CPU seconds (user + system) the process has used so far; readable until
// it is reaped.
double cpu_seconds(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int index = 3; fields >> field; ++index) {
        if (index == 14) utime = std::stoull(field);
        if (index == 15) {
            stime = std::stoull(field);
            break;
        }
    }
    return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

TEST(BrokerEndToEnd, TerminalClosedWhileShellLivesDoesNotSpin) {
    // The shell lets go of the terminal (its end of output) and lives on for
    // two seconds. A loop that kept polling the hung-up master would burn a
    // whole core meanwhile.
    for (const bool with_process_descriptor : {true, false}) {
        SCOPED_TRACE(with_process_descriptor ? "process descriptor" : "timed fallback");
        BrokerOptions options{.shell = sh("exec 0<&- 1>&- 2>&-; sleep 2; exit 3")};
        if (!with_process_descriptor) options.env["TERMINAL_STREAM_NO_PIDFD"] = "1";
        BrokerProcess broker(options);
        auto closed = broker.wait_for("closed");
        ASSERT_TRUE(closed);
        EXPECT_EQ((*closed)["exit_code"], 3);
        EXPECT_LT(cpu_seconds(broker.pid()), 0.5);
        EXPECT_EQ(broker.wait_exit(), 3);
    }
}

// An idle broker sleeps until something happens: a loop that never slept
// would burn about a core for the two seconds the shell waits (the shell's
// own exit ends the wait, not a clock in the test). How often an idle
// broker wakes is a figure of the benchmark (bench/run.py, idle cost).
TEST(BrokerEndToEnd, IdleBrokerDoesNotSpin) {
    for (const bool with_process_descriptor : {true, false}) {
        SCOPED_TRACE(with_process_descriptor ? "process descriptor" : "timed fallback");
        BrokerOptions options{.shell = sh("read line; sleep 2; exit 4")};
        if (!with_process_descriptor) options.env["TERMINAL_STREAM_NO_PIDFD"] = "1";
        BrokerProcess broker(options);
        ASSERT_TRUE(broker.next_event());
        broker.send_input("go\n");
        const auto closed = broker.wait_for("closed");
        ASSERT_TRUE(closed);
        EXPECT_EQ((*closed)["exit_code"], 4);
        EXPECT_LT(cpu_seconds(broker.pid()), 0.5);
        EXPECT_EQ(broker.wait_exit(), 4);
    }
}

}  // namespace
}  // namespace tsb::test
