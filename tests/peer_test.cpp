// The peer's half of the wire against the broker's own: what a client
// writes is what the broker's parser takes, and what the broker writes is
// what a client reads, with the same strict Base64.

#include "protocol/peer.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <functional>

#include "protocol/events.hpp"
#include "protocol/notification.hpp"
#include "sys/fd.hpp"

namespace tsb {
namespace {

TEST(PeerLines, ParseBackAsTheCommandsTheyWereMadeFrom) {
    const std::string all_bytes = [] {
        std::string bytes;
        for (int byte = 0; byte < 256; ++byte) bytes.push_back(static_cast<char>(byte));
        return bytes;
    }();
    const struct {
        std::string line;
        BrokerCommand command;
    } cases[] = {
        {notification_line(Connect{80, 24, 262144}), Connect{80, 24, 262144}},
        {notification_line(Connect{std::nullopt, std::nullopt, 0}), Connect{std::nullopt, std::nullopt, 0}},
        {notification_line(Connect{}), Connect{}},
        {notification_line(Connect{.merge_reads = 16384}), Connect{.merge_reads = 16384}},
        {notification_line(Input{"ls\r"}), Input{"ls\r"}},
        {notification_line(Input{all_bytes}), Input{all_bytes}},
        {notification_line(Resize{65535, 1}), Resize{65535, 1}},
        {notification_line(Ack{UINT64_MAX}), Ack{UINT64_MAX}},
        {notification_line(Destroy{}), Destroy{}},
        {notification_line(ShellSignal{1}), ShellSignal{1}},
        {notification_line(ShellSignal{64}), ShellSignal{64}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        ASSERT_TRUE(c.line.ends_with('\n'));
        const std::string_view line(c.line.data(), c.line.size() - 1);
        EXPECT_EQ(line.find('\n'), std::string_view::npos);
        const ParsedLine parsed = parse_notification(line);
        ASSERT_TRUE(parsed && *parsed);
        EXPECT_TRUE(**parsed == c.command);
        // Input lines come in the shape the broker reads without its
        // general reader; both readers agree on every line.
        EXPECT_TRUE(detail::read_notification(line) == parsed);
    }
    EXPECT_TRUE(notification_line(Input{"x"}).starts_with(
        R"({"jsonrpc":"2.0","method":"terminal.input","params":{"data_b64":")"));
}

// The broker's lines, as its writers write them.
std::string written(const std::function<Result<void>(EventWriter&)>& write) {
    int ends[2];
    EXPECT_EQ(::pipe2(ends, O_CLOEXEC), 0);
    const Fd read_end(ends[0]), write_end(ends[1]);
    EventWriter writer(write_end.get());
    EXPECT_TRUE(write(writer));
    char buffer[65536];
    const ssize_t got = ::read(read_end.get(), buffer, sizeof buffer);
    EXPECT_GT(got, 0);
    std::string line(buffer, static_cast<std::size_t>(std::max<ssize_t>(got, 1)) - 1);
    return line;
}

TEST(PeerEvents, ReadWhatTheBrokerWrites) {
    PeerEvent event;
    const std::string bytes("\x00\x1b[31mred\xff", 10);
    ASSERT_TRUE(parse_event(written([&](EventWriter& w) { return w.write_data_event(7, 1, bytes); }), event));
    EXPECT_EQ(event.kind, PeerEvent::Kind::data);
    EXPECT_EQ(event.seq, 7u);
    EXPECT_EQ(event.bytes, bytes);

    // The same event in another key order takes the general reader.
    ASSERT_TRUE(parse_event(R"({"type":"data","seq":8,"ts":1,"data_b64":"Zm9v"})", event));
    EXPECT_EQ(event.kind, PeerEvent::Kind::data);
    EXPECT_EQ(event.seq, 8u);
    EXPECT_EQ(event.bytes, "foo");

    ASSERT_TRUE(parse_event(written([](EventWriter& w) {
        return w.write_json_line(make_closed_event(9, 1, std::nullopt, "signal:1"));
    }), event));
    EXPECT_EQ(event.kind, PeerEvent::Kind::closed);
    EXPECT_EQ(event.exit_code, std::nullopt);
    EXPECT_EQ(event.reason, "signal:1");
    EXPECT_EQ(event.seq, 9u);
    ASSERT_TRUE(parse_event(written([](EventWriter& w) {
        return w.write_json_line(make_closed_event(2, 1, 3, "exited"));
    }), event));
    EXPECT_EQ(event.exit_code, 3);

    ASSERT_TRUE(parse_event(written([](EventWriter& w) {
        return w.write_json_line(make_flow_control_event(65536));
    }), event));
    EXPECT_EQ(event.kind, PeerEvent::Kind::flow_control);
    EXPECT_EQ(event.window, 65536u);
    ASSERT_TRUE(parse_event(R"({"type":"novel"})", event));
    EXPECT_EQ(event.kind, PeerEvent::Kind::other);
}

TEST(PeerEvents, RefuseWhatTheBrokerWouldRefuse) {
    // Base64 the broker's strict decoder rejects, in the writer's shape and
    // in another: stray bits, no padding, blanks, the URL-safe alphabet.
    const char* const texts[] = {"QR==", "Zg", "Zm 9v", "Zm9v\\n", "-_8=", "Zg==Zg=="};
    for (const char* text : texts) {
        SCOPED_TRACE(text);
        PeerEvent event;
        EXPECT_FALSE(parse_event(std::string(R"({"data_b64":")") + text +
                                     R"(","seq":1,"ts":1,"type":"data"})",
                                 event));
        EXPECT_FALSE(parse_event(std::string(R"({"type":"data","seq":1,"data_b64":")") + text + "\"}",
                                 event));
    }
    const char* const lines[] = {
        "", "[]", "{}", R"({"type":1})", R"({"data_b64":"Zg==","seq":-1,"ts":1,"type":"data"})",
        R"({"data_b64":"Zg==","type":"data"})", R"({"data_b64":"Zg==","seq":1,"ts":1,"type":"data")",
    };
    for (const char* line : lines) {
        PeerEvent event;
        EXPECT_FALSE(parse_event(line, event)) << line;
    }
}

}  // namespace
}  // namespace tsb
