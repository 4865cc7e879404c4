// End-to-end: a peer or a program that stops reading cannot make the broker
// deaf or make it grow, and a termination request always ends the session.

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "support/broker_process.hpp"
#include "support/proc.hpp"

namespace tsb::test {
namespace {

using nlohmann::json;

bool eventually(const std::function<bool()>& condition,
                std::chrono::milliseconds deadline = default_deadline) {
    const auto until = std::chrono::steady_clock::now() + deadline;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= until) return false;
        ::usleep(10'000);
    }
    return true;
}

bool alive(pid_t pid) { return ::kill(pid, 0) == 0; }

// A program that never reads what is typed into its raw-mode terminal.
const std::vector<std::string> deaf_program = sh("stty raw -echo; echo R; exec sleep 60");

enum class Ending { destroy, sigterm, stdin_closed };

void request_end(BrokerProcess& broker, Ending ending) {
    switch (ending) {
    case Ending::destroy: broker.send_destroy(); break;
    case Ending::sigterm: ::kill(broker.pid(), SIGTERM); break;
    case Ending::stdin_closed: broker.close_stdin(); break;
    }
}

TEST(Backpressure, TerminationActsWhileAnInputWaitsForAProgramThatNeverReads) {
    for (const Ending ending : {Ending::destroy, Ending::sigterm, Ending::stdin_closed}) {
        SCOPED_TRACE(static_cast<int>(ending));
        BrokerProcess broker({.shell = deaf_program});
        ASSERT_TRUE(broker.wait_for_output("R"));
        broker.send_input(std::string(256 * 1024, 'x'));
        broker.send_ping(1);
        request_end(broker, ending);
        const auto closed = broker.wait_for("closed");
        ASSERT_TRUE(closed) << broker.stderr_text();
        EXPECT_EQ((*closed)["reason"], "signal:15");
        EXPECT_EQ(broker.wait_exit(), 0);
    }
}

TEST(Backpressure, ControlCStopsAFloodAndDestroyEndsItWhileThePeerDoesNotRead) {
    BrokerProcess broker(
        {.shell = sh("trap '' INT; (trap - INT; exec yes); echo STOPPED; exec sleep 60")});
    const auto ready = broker.next_event();
    ASSERT_TRUE(ready);
    const int shell = (*ready)["pid"].get<int>();
    // Not reading from here on: the pipe to this side fills up.
    ASSERT_TRUE(eventually([&] { return broker.stdout_unread() >= 32'000; }));
    ASSERT_FALSE(descendants_named(shell, "yes").empty());
    broker.send_input("\x03");
    EXPECT_TRUE(eventually([&] { return descendants_named(shell, "yes").empty(); }))
        << "^C did not reach the terminal";
    broker.send_destroy();
    EXPECT_TRUE(eventually([&] { return !alive(shell); })) << "destroy did not act";
    ASSERT_TRUE(broker.read_to_end());
    EXPECT_NE(broker.output().find("STOPPED"), std::string::npos);
    EXPECT_EQ(broker.events().back()["type"], "closed");
}

TEST(Backpressure, WhatThePeerPastesIntoAProgramThatNeverReadsStaysBounded) {
    BrokerProcess broker({.shell = deaf_program});
    ASSERT_TRUE(broker.wait_for_output("R"));
    const long rss_before = status_kib(broker.pid(), "VmRSS");
    std::string lines;
    const std::string piece(64 * 1024, 'y');
    for (int i = 0; i < 256; ++i) {
        lines += json{{"jsonrpc", "2.0"}, {"method", "terminal.input"},
                      {"params", {{"data_b64", base64(piece)}}}}.dump() + "\n";
    }
    // 22 MiB of lines, of which the broker may take only a few MiB before
    // its standard input stops being read.
    const std::size_t taken = broker.send_until_full(lines, std::chrono::seconds(2));
    EXPECT_LT(taken, lines.size() / 2);
    const long grown_kib = status_kib(broker.pid(), "VmHWM") - rss_before;
    EXPECT_LT(grown_kib, 24 * 1024) << "broker took " << taken << " bytes";
    // Signals still act while the reader waits for room.
    ::kill(broker.pid(), SIGTERM);
    EXPECT_TRUE(broker.wait_for("closed"));
}

TEST(Backpressure, TerminationEndsASessionWhoseExitedShellLeftTheTerminalHeld) {
    for (const Ending ending : {Ending::destroy, Ending::sigterm, Ending::stdin_closed}) {
        SCOPED_TRACE(static_cast<int>(ending));
        BrokerProcess broker(
            {.shell = sh("trap '' HUP TERM; sleep 100 & echo started; exit 3")});
        const auto ready = broker.next_event();
        ASSERT_TRUE(ready);
        ASSERT_TRUE(broker.wait_for_output("started"));
        const int shell = (*ready)["pid"].get<int>();
        ASSERT_TRUE(eventually([&] { return !alive(shell); }));
        request_end(broker, ending);
        const auto closed = broker.wait_for("closed");
        ASSERT_TRUE(closed);
        EXPECT_EQ((*closed)["exit_code"], 3);
        EXPECT_EQ(broker.wait_exit(), 3);
    }
}

}  // namespace
}  // namespace tsb::test
