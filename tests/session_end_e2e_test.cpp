// End-to-end: every session ends when it is asked to, whatever the shell
// ignores, and no order of input and acknowledgements can wedge it.

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "support/broker_process.hpp"

namespace tsb::test {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

constexpr std::string_view prefix = "[redizivo_varizu_rideze_do] ";

// A program that ignores every polite way of asking it to end.
const std::vector<std::string> stubborn_program = python(
    "import signal, os, time\n"
    "for s in (signal.SIGHUP, signal.SIGINT, signal.SIGTERM): signal.signal(s, signal.SIG_IGN)\n"
    "os.write(1, b'armed\\n')\n"
    "time.sleep(1000)\n");

// An interactive shell that reads no start-up file.
const std::vector<std::string> interactive_sh = {"sh", "-i"};

enum class Ending { destroy, stdin_closed, sigterm, sighup };

void request_end(BrokerProcess& broker, Ending ending) {
    switch (ending) {
    case Ending::destroy: broker.send_destroy(); break;
    case Ending::stdin_closed: broker.close_stdin(); break;
    case Ending::sigterm: ::kill(broker.pid(), SIGTERM); break;
    case Ending::sighup: ::kill(broker.pid(), SIGHUP); break;
    }
}

// utime + stime of a process, in seconds; readable while it is a zombie.
double cpu_seconds(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    double ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14 || i == 15) ticks += std::stod(field);
    }
    return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

TEST(SessionEnd, EveryTerminationRequestEndsShellsThatIgnoreSigterm) {
    struct Case {
        std::vector<std::string> shell;
        std::string armed;  // output that says the shell is running
        Ending ending;
        std::string reason;
    };
    const Case cases[] = {
        // An interactive sh ignores SIGTERM; the hang-up ends it.
        {interactive_sh, "# ", Ending::destroy, "signal:1"},
        {interactive_sh, "# ", Ending::stdin_closed, "signal:1"},
        {interactive_sh, "# ", Ending::sigterm, "signal:1"},
        {interactive_sh, "# ", Ending::sighup, "signal:1"},
        {stubborn_program, "armed", Ending::destroy, "signal:9"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.shell.front() + " " + std::to_string(static_cast<int>(c.ending)));
        BrokerProcess broker({.env = {{"PS1", "# "}, {"ENV", std::nullopt}}, .shell = c.shell});
        ASSERT_TRUE(broker.wait_for_output(c.armed));
        request_end(broker, c.ending);
        const auto closed = broker.wait_for("closed");
        ASSERT_TRUE(closed) << broker.output();
        EXPECT_EQ((*closed)["reason"], c.reason);
        EXPECT_EQ(broker.wait_exit(), 0);
    }
}

TEST(SessionEnd, PeerSignalReachesTheShellAndBadSignalsCostOneLine) {
    BrokerProcess broker({.shell = sh("exec sleep 1000")});
    ASSERT_TRUE(broker.next_event());
    broker.send_method("terminal.signal", {{"signal", "SIGNOPE"}});
    broker.send_method("terminal.signal", {{"signal", 0}});
    broker.send_method("terminal.signal", {{"signal", "INT"}});
    const auto closed = broker.wait_for("closed");
    ASSERT_TRUE(closed);
    EXPECT_EQ((*closed)["reason"], "signal:2");
    EXPECT_EQ(broker.stderr_text(),
              std::string(prefix) + "bad terminal.signal: unknown signal SIGNOPE\n" + std::string(prefix) +
                  "bad terminal.signal: signal must be a signal name or a number from 1 to " +
                  std::to_string(SIGRTMAX) + "\n");
}

TEST(SessionEnd, ShellThatExitsLeavingABackgroundJobStillCloses) {
    BrokerProcess broker({.env = {{"PS1", "# "}, {"ENV", std::nullopt}}, .shell = interactive_sh});
    ASSERT_TRUE(broker.wait_for_output("# "));
    broker.send_input("sleep 1000 & echo job=$!; exit 3\n");
    const auto closed = broker.wait_for("closed");
    ASSERT_TRUE(closed) << broker.output();
    EXPECT_EQ((*closed)["exit_code"], 3);
    EXPECT_EQ((*closed)["reason"], "exited");
    const auto job = broker.output().rfind("job=");
    ASSERT_NE(job, std::string::npos);
    ::kill(std::stoi(broker.output().substr(job + 4)), SIGKILL);
}

std::string input_line(std::string_view bytes) {
    return json{{"jsonrpc", "2.0"}, {"method", "terminal.input"}, {"params", {{"data_b64", base64(bytes)}}}}
               .dump() +
           "\n";
}

std::string ack_line(std::uint64_t seq) {
    return json{{"jsonrpc", "2.0"}, {"method", "terminal.ack"}, {"params", {{"seq", seq}}}}.dump() + "\n";
}

// With the window on, a paste larger than what the broker holds, each line
// followed on the same ordered stream by an ack for what was read so far:
// the acks sit behind the paste, and the program cannot take more input
// while its echo is not read.
TEST(SessionEnd, PasteLargerThanTheBrokerHoldsCompletesWithTheWindowOn) {
    constexpr std::size_t total = 8 * 1024 * 1024, piece = 48 * 1024;
    std::string paste(total, '\0');
    std::mt19937 random(7);
    for (char& byte : paste) byte = static_cast<char>(random());

    BrokerProcess broker({.shell = sh("stty raw -echo; echo R; exec cat")});
    broker.send_method("terminal.connect", {{"flow_window", 65536}});
    ASSERT_TRUE(broker.wait_for_output("R\n"));
    const std::size_t echo_start = broker.output().size();

    std::uint64_t last_seq = 0, acked = 0;
    std::size_t offset = 0;
    std::string outgoing;
    const auto until = std::chrono::steady_clock::now() + 60s;
    while (broker.output().size() - echo_start < total && std::chrono::steady_clock::now() < until) {
        if (outgoing.empty() && offset < total) {
            outgoing = input_line(std::string_view(paste).substr(offset, piece)) + ack_line(last_seq);
            acked = last_seq;
            offset += piece;
        } else if (outgoing.empty() && last_seq > acked) {
            outgoing = ack_line(acked = last_seq);
        }
        if (!outgoing.empty()) outgoing.erase(0, broker.send_until_full(outgoing, 1ms));
        while (auto event = broker.next_event(1ms)) {
            if ((*event)["type"] == "data") last_seq = (*event)["seq"].get<std::uint64_t>();
        }
    }
    ASSERT_EQ(broker.output().size() - echo_start, total) << "the paste stalled after " << offset;
    EXPECT_TRUE(broker.output().substr(echo_start) == paste) << "the echo differs from the paste";
}

// The program is killed while the window is full, input waits for it and
// the stdin reader waits for room:
// the loop must see the end of output although the window holds, and must
// not spin meanwhile.
TEST(SessionEnd, ShellKilledWithTheWindowFullAndInputWaitingEndsWithoutSpinning) {
    BrokerProcess broker({.shell = sh("stty raw -echo; echo R; exec cat")});
    broker.send_method("terminal.connect", {{"flow_window", 65536}});
    const auto ready = broker.next_event();
    ASSERT_TRUE(ready);
    ASSERT_TRUE(broker.wait_for_output("R\n"));
    // More than the broker holds, never acknowledged: the window fills, cat
    // stops, its input waits, and the stdin reader is held at its bound.
    std::string lines;
    for (int i = 0; i < 128; ++i) lines += input_line(std::string(64 * 1024, 'x'));
    broker.send_until_full(lines, 300ms);
    ASSERT_TRUE(broker.wait_for_output(std::string(60000, 'x')));
    ::kill((*ready)["pid"].get<int>(), SIGKILL);
    broker.close_stdin();
    ASSERT_TRUE(broker.read_to_end());
    EXPECT_EQ(broker.events().back()["reason"], "signal:9");
    EXPECT_LT(cpu_seconds(broker.pid()), 1.0);
    EXPECT_EQ(broker.wait_exit(), 0);
}


// The number after `label` in the terminal's output, as a program there
// reported it ("pid=123"); 0 when it is not there.
pid_t reported_pid(const BrokerProcess& broker, std::string_view label) {
    const auto at = broker.output().rfind(label);
    if (at == std::string::npos) return 0;
    return static_cast<pid_t>(std::atoi(broker.output().c_str() + at + label.size()));
}

// Alive: in the process table and not a zombie that nobody has reaped.
bool alive(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const auto state = text.rfind(')');
    return state != std::string::npos && state + 2 < text.size() && text[state + 2] != 'Z' &&
           text[state + 2] != 'X';
}

bool gone_within(pid_t pid, std::chrono::milliseconds deadline) {
    const auto until = std::chrono::steady_clock::now() + deadline;
    while (alive(pid)) {
        if (std::chrono::steady_clock::now() > until) return false;
        ::usleep(20'000);
    }
    return true;
}

// The ladder is about the session: a program in the foreground that
// ignores the hang-up outlives the shell, and still gets the SIGKILL.
// Whoever asks for the end, a destroy or a peer that stops reading while
// output flows (its stdout gone: a termination request too, and the broker
// then ends with status 1).
TEST(SessionEnd, ForegroundProgramThatIgnoresHangupOutlivesTheShellAndIsStillKilled) {
    const std::string stubborn_job =
        "sh -c 'trap \"\" HUP TERM; echo pid=$$; while :; do echo x; sleep 0.05; done'\n";
    for (const bool destroy : {true, false}) {
        SCOPED_TRACE(destroy ? "destroy" : "stdout closed");
        BrokerProcess broker({.env = {{"PS1", "# "}, {"ENV", std::nullopt}}, .shell = interactive_sh});
        ASSERT_TRUE(broker.wait_for_output("# "));
        broker.send_input(stubborn_job);
        ASSERT_TRUE(broker.wait_for_output("x\r\nx\r\n")) << broker.output();
        const pid_t program = reported_pid(broker, "pid=");
        ASSERT_GT(program, 0);
        if (destroy) {
            broker.send_destroy();
            const auto closed = broker.wait_for("closed");
            ASSERT_TRUE(closed);
            EXPECT_EQ((*closed)["reason"], "signal:1");
            EXPECT_EQ(broker.wait_exit(), 0);
        } else {
            broker.close_stdout();
            EXPECT_EQ(broker.wait_exit(), 1);
            EXPECT_TRUE(broker.wait_for_stderr("broker main loop failed: Broken pipe"));
        }
        EXPECT_TRUE(gone_within(program, 15s)) << "pid " << program;
        if (alive(program)) ::kill(program, SIGKILL);
    }
}

// A peer that pastes more than the broker holds into a program that never
// reads, and dies: the stdin reader is held at its bound and never sees the
// end of input, but the loop sees the hang-up and ends the session.
TEST(SessionEnd, PeerThatDiesBehindAnUnreadPasteLeavesNothing) {
    BrokerProcess broker({.shell = sh("echo pid=$$; stty raw -echo; echo R; exec sleep 1007")});
    ASSERT_TRUE(broker.wait_for_output("R\n"));
    const pid_t program = reported_pid(broker, "pid=");
    ASSERT_GT(program, 0);
    std::string lines;
    for (int i = 0; i < 110; ++i) lines += input_line(std::string(48 * 1024, 'x'));
    broker.send_until_full(lines, 300ms);
    broker.close_stdin();
    broker.close_stdout();
    EXPECT_TRUE(broker.wait_exit(20s).has_value());
    EXPECT_TRUE(gone_within(program, 15s)) << "pid " << program;
    if (alive(program)) ::kill(program, SIGKILL);
}

// A shell that exits while a background job keeps printing: the terminal
// is never quiet, yet the session closes a few seconds after the shell's
// exit, with its status; a request that comes after the exit was seen does
// not change how it ended.
TEST(SessionEnd, ShellThatExitsWhileABackgroundJobPrintsClosesWithItsStatus) {
    for (const bool stdin_closed_after_exit : {false, true}) {
        SCOPED_TRACE(stdin_closed_after_exit ? "stdin closed after the exit" : "no request");
        BrokerProcess broker({.env = {{"PS1", "# "}, {"ENV", std::nullopt}}, .shell = interactive_sh});
        const auto ready = broker.next_event();
        ASSERT_TRUE(ready);
        const pid_t shell = (*ready)["pid"].get<pid_t>();
        ASSERT_TRUE(broker.wait_for_output("# "));
        broker.send_input("(while sleep 0.3; do echo tick; done) & echo job=$!; exit 3\n");
        if (stdin_closed_after_exit) {
            // Reaped by the broker: gone from the process table.
            const auto until = std::chrono::steady_clock::now() + 20s;
            while (std::ifstream("/proc/" + std::to_string(shell) + "/stat") &&
                   std::chrono::steady_clock::now() < until)
                ::usleep(10'000);
            broker.close_stdin();
        }
        const auto closed = broker.wait_for("closed", 20s);
        const pid_t job = reported_pid(broker, "job=");
        if (job > 0) ::kill(-job, SIGKILL);
        ASSERT_TRUE(closed) << broker.output();
        EXPECT_EQ((*closed)["exit_code"], 3);
        EXPECT_EQ((*closed)["reason"], "exited");
        EXPECT_EQ(broker.wait_exit(), 3);
    }
}

}  // namespace
}  // namespace tsb::test
