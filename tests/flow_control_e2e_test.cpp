// End-to-end: the opt-in flow-control window (terminal.connect's
// "flow_window", terminal.ack).

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "support/broker_process.hpp"

namespace tsb::test {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

constexpr std::string_view prefix = "[redizivo_varizu_rideze_do] ";

std::size_t data_size(const json& event) { return decode_base64(event["data_b64"].get<std::string>()).size(); }

// Reads data events until none has come for `quiet`; the terminal bytes
// they carried.
std::size_t read_until_quiet(BrokerProcess& broker, std::chrono::milliseconds quiet,
                             std::uint64_t& last_seq) {
    std::size_t bytes = 0;
    while (auto event = broker.next_event(quiet)) {
        if ((*event)["type"] != "data") continue;
        bytes += data_size(*event);
        last_seq = (*event)["seq"].get<std::uint64_t>();
    }
    return bytes;
}

TEST(FlowControl, AWindowWithoutAcksHoldsTheProgramUntilAcksCome) {
    constexpr std::size_t window = 32 * 1024;
    BrokerProcess broker({.shell = sh("stty raw -echo; exec yes")});
    broker.send_method("terminal.connect", {{"flow_window", window}});
    ASSERT_TRUE(broker.wait_for("flow_control"));
    EXPECT_EQ(broker.events().back(), (json{{"type", "flow_control"}, {"window", window}}));

    std::uint64_t last_seq = 0;
    const std::size_t held = read_until_quiet(broker, 1500ms, last_seq);
    ASSERT_GT(last_seq, 0u);
    // At most the window plus the one read that crossed it.
    EXPECT_LE(held, window + 65536);
    EXPECT_GE(held, window);

    broker.send_method("terminal.ack", {{"seq", last_seq}});
    std::uint64_t resumed_seq = 0;
    EXPECT_GE(read_until_quiet(broker, 1500ms, resumed_seq), window);
    EXPECT_GT(resumed_seq, last_seq);

    broker.send_destroy();
    EXPECT_TRUE(broker.wait_for("closed"));
}

TEST(FlowControl, AnAcknowledgingPeerGetsEveryByteWithSeqWithoutGaps) {
    BrokerProcess broker({.shell = sh("stty raw -echo; seq 1 200000")});
    broker.send_method("terminal.connect", {{"flow_window", 16 * 1024}});
    std::uint64_t expected_seq = 1;
    std::optional<json> closed;
    while (auto event = broker.next_event()) {
        if ((*event)["type"] == "data") {
            ASSERT_EQ((*event)["seq"], expected_seq);
            try {
                broker.send_method("terminal.ack", {{"seq", expected_seq}});
            } catch (const std::runtime_error&) {
                // The last events may still be read after the broker ended.
            }
            ++expected_seq;
        } else if ((*event)["type"] == "closed") {
            closed = event;
            break;
        }
    }
    ASSERT_TRUE(closed);
    EXPECT_EQ((*closed)["seq"], expected_seq);
    std::string expected;
    for (int i = 1; i <= 200000; ++i) expected += std::to_string(i) + "\n";
    EXPECT_TRUE(broker.output() == expected) << "output of " << broker.output().size() << " bytes";
}

// A flood comes in events of several reads each (the terminal gives about
// 4 KiB a read), never larger than asked, every byte in order; the peer
// decodes and parses far fewer lines.
TEST(FlowControl, MergedReadsCarryTheSameBytesInFewerEvents) {
    constexpr std::size_t limit = 32768;
    BrokerProcess broker({.shell = sh("stty raw -echo; seq 1 400000")});
    broker.send_method("terminal.connect", {{"merge_reads", limit}, {"flow_window", 262144}});
    std::size_t events = 0;
    std::size_t largest = 0;
    while (auto event = broker.next_event()) {
        if ((*event)["type"] == "closed") break;
        if ((*event)["type"] != "data") continue;
        ++events;
        largest = std::max(largest, data_size(*event));
        try {
            broker.send_method("terminal.ack", {{"seq", (*event)["seq"]}});
        } catch (const std::runtime_error&) {
            // The last events may still be read after the broker ended.
        }
    }
    std::string expected;
    for (int i = 1; i <= 400000; ++i) expected += std::to_string(i) + "\n";
    ASSERT_TRUE(broker.output() == expected) << "output of " << broker.output().size() << " bytes";
    // One read gives 4 KiB or so, rarely up to about 18 KiB.
    EXPECT_GT(largest, limit * 3 / 4) << events << " events";
    EXPECT_LE(largest, limit);
}

TEST(FlowControl, BadWindowsAndAcksCostOneDiagnosticEach) {
    BrokerProcess broker({.shell = sh("echo ok; exec sleep 30")});
    ASSERT_TRUE(broker.wait_for_output("ok"));
    broker.send_method("terminal.connect", {{"flow_window", -1}});
    broker.send_method("terminal.connect", {{"flow_window", 268435457}});
    broker.send_method("terminal.connect", {{"flow_window", "4096"}});
    broker.send_method("terminal.ack", {{"seq", 1.5}});
    broker.send_method("terminal.ack", json::object());
    broker.send_method("terminal.ack", {{"seq", 1000}});
    broker.send_ping(1);
    ASSERT_TRUE(broker.wait_for("pong"));
    const std::string window_error =
        std::string(prefix) + "bad terminal.connect: flow_window must be an integer from 0 to 268435456\n";
    const std::string ack_error = std::string(prefix) + "bad terminal.ack: seq must be a non-negative integer\n";
    ASSERT_TRUE(broker.wait_for_stderr("has not been sent"));
    // "ok" and its line end may come in one data event or two.
    const std::string unsent = std::string(prefix) + "bad terminal.ack: seq 1000 has not been sent (last ";
    const std::string text = broker.stderr_text();
    EXPECT_TRUE(text == window_error + window_error + window_error + ack_error + ack_error + unsent + "1)\n" ||
                text == window_error + window_error + window_error + ack_error + ack_error + unsent + "2)\n")
        << text;
    for (const json& event : broker.events()) EXPECT_NE(event["type"], "flow_control");
    broker.send_destroy();
    EXPECT_TRUE(broker.wait_for("closed"));
}


// Output as raw bytes after each data line is asked for and given up again
// with a connect; every byte value comes through, in order, in events that
// span many reads of the pipe, and only the events between the two connects
// are raw.
TEST(FlowControl, RawDataCarriesEveryByteBetweenTheConnectsThatAskAndStop) {
    BrokerProcess broker({.shell = python(
        "import os, sys, tty\n"
        "tty.setraw(0)\n"
        "for phase in (b'A', b'B', b'C'):\n"
        "    os.write(1, bytes(range(256)) * 400 + phase)\n"
        "    if phase != b'C': os.read(0, 1)\n")});
    const std::string phase = [] {
        std::string bytes;
        for (int i = 0; i < 256; ++i) bytes.push_back(static_cast<char>(i));
        std::string repeated;
        for (int i = 0; i < 400; ++i) repeated += bytes;
        return repeated;
    }();
    ASSERT_TRUE(broker.wait_for_output(phase + "A"));
    const std::size_t base64_events = broker.events().size();
    broker.send_method("terminal.connect", {{"raw_data", true}, {"merge_reads", 16384}});
    broker.send_input("x");
    ASSERT_TRUE(broker.wait_for_output(phase + "A" + phase + "B"));
    const std::size_t raw_events = broker.events().size();
    broker.send_method("terminal.connect", {{"raw_data", false}});
    broker.send_input("x");
    ASSERT_TRUE(broker.wait_for("closed"));
    EXPECT_TRUE(broker.output() == phase + "A" + phase + "B" + phase + "C")
        << "output of " << broker.output().size() << " bytes";
    const auto& events = broker.events();
    for (std::size_t i = 0; i < events.size(); ++i) {
        if (events[i]["type"] != "data") continue;
        const bool raw = i >= base64_events && i < raw_events;
        EXPECT_EQ(events[i].contains("bytes"), raw) << i << ": " << events[i].dump();
        EXPECT_EQ(events[i].contains("data_b64"), !raw) << i << ": " << events[i].dump();
    }
    EXPECT_GT(raw_events - base64_events, 3u);
}

}  // namespace
}  // namespace tsb::test
