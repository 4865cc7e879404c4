#include "protocol/channel.hpp"
#include "support/channel.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace tsb {
namespace {

using test::new_channel;
using test::next_command;

bool readable(int fd, int timeout_ms = 0) {
    pollfd entry{.fd = fd, .events = POLLIN, .revents = 0};
    return ::poll(&entry, 1, timeout_ms) == 1 && (entry.revents & POLLIN) != 0;
}

TEST(Channel, CommandsArriveInOrderWithTheirPayloads) {
    auto [sender, receiver] = new_channel();
    const std::vector<BrokerCommand> sent = {
        Connect{.cols = 120, .rows = std::nullopt},
        Input{.data = std::string("ls\0\xFF\r", 5)},
        Ping{.nonce = nlohmann::json::parse(R"({"type":"t","data":[1,2.5,null]})")},
        Ping{.nonce = nlohmann::json(nullptr)},
        Ping{.nonce = std::nullopt},
        Resize{.cols = 1, .rows = 65535},
        Signal{.signal_name = "SIGTERM"},
        Destroy{},
        StdinClosed{},
    };
    for (const BrokerCommand& command : sent) ASSERT_TRUE(sender.send(command));
    for (const BrokerCommand& expected : sent) {
        auto received = next_command(receiver);
        ASSERT_TRUE(received.has_value());
        EXPECT_EQ(*received, expected);
    }
    EXPECT_FALSE(next_command(receiver).has_value());
    // An absent nonce and a null nonce stay different commands.
    EXPECT_NE(BrokerCommand(Ping{.nonce = std::nullopt}),
              BrokerCommand(Ping{.nonce = nlohmann::json(nullptr)}));
}

TEST(Channel, SendAfterReceiverIsGoneHandsTheCommandBack) {
    auto [sender, receiver] = new_channel();
    ASSERT_TRUE(sender.send(Destroy{}));
    { const CommandReceiver gone = std::move(receiver); }
    const auto result = sender.send(Input{.data = "echo hi\n"});
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), BrokerCommand(Input{.data = "echo hi\n"}));

    const CommandSender moved_to = std::move(sender);
    // A moved-from sender belongs to no channel.
    // NOLINTNEXTLINE(bugprone-use-after-move)
    const auto from_moved = sender.send(Signal{.signal_name = "SIGINT"});
    ASSERT_FALSE(from_moved);
    EXPECT_EQ(from_moved.error(), BrokerCommand(Signal{.signal_name = "SIGINT"}));
}

TEST(Channel, QueuedCommandsOutliveTheSenders) {
    auto [sender, receiver] = new_channel();
    {
        const CommandSender copy = sender;
        ASSERT_TRUE(copy.send(Input{.data = "a"}));
        ASSERT_TRUE(sender.send(Input{.data = "b"}));
        { const CommandSender dropped = std::move(sender); }
    }
    EXPECT_EQ(next_command(receiver), BrokerCommand(Input{.data = "a"}));
    EXPECT_EQ(next_command(receiver), BrokerCommand(Input{.data = "b"}));
    EXPECT_FALSE(next_command(receiver).has_value());
    EXPECT_FALSE(next_command(receiver).has_value());
}

TEST(Channel, WakeDescriptorFollowsTheQueue) {
    auto [sender, receiver] = new_channel();
    const int fd = receiver.wake_fd();
    ASSERT_GE(fd, 0);
    EXPECT_EQ(::fcntl(fd, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
    EXPECT_EQ(::fcntl(fd, F_GETFL) & O_NONBLOCK, O_NONBLOCK);
    EXPECT_FALSE(readable(fd));

    ASSERT_TRUE(sender.send(Destroy{}));
    EXPECT_TRUE(readable(fd));
    ASSERT_TRUE(sender.send(Destroy{}));
    ASSERT_TRUE(sender.send(Destroy{}));
    // A burst into a non-empty queue signals only once.
    std::uint64_t count = 0;
    ASSERT_EQ(::read(fd, &count, sizeof count), static_cast<ssize_t>(sizeof count));
    EXPECT_EQ(count, 1u);
    ASSERT_TRUE(sender.send(Destroy{}));  // queue not empty: no new wake-up
    EXPECT_FALSE(readable(fd));

    while (next_command(receiver)) {
    }
    receiver.clear_wake();
    EXPECT_FALSE(readable(fd));
    receiver.clear_wake();  // nothing pending: must not block
    ASSERT_TRUE(sender.send(Resize{}));
    EXPECT_TRUE(readable(fd));

    receiver.clear_wake();
    EXPECT_FALSE(readable(fd));
    EXPECT_TRUE(next_command(receiver).has_value());
    EXPECT_FALSE(next_command(receiver).has_value());
    ASSERT_TRUE(sender.send(Resize{}));
    EXPECT_TRUE(readable(fd));
}

TEST(Channel, TwoThreadsLoseNothingAndKeepTheirOrder) {
    constexpr int per_thread = 10000;
    auto [sender, receiver] = new_channel();
    auto produce = [](CommandSender own, char tag) {
        for (int i = 0; i < per_thread; ++i) {
            if (!own.send(Input{.data = tag + std::to_string(i)})) return;
        }
    };
    std::jthread first(produce, sender, 'a');
    std::jthread second(produce, std::move(sender), 'b');

    // Receive the way the main loop does: wait for the wake-up, clear it,
    // then drain. A lost wake-up would leave the poll waiting.
    int next_a = 0;
    int next_b = 0;
    while (next_a + next_b < 2 * per_thread) {
        ASSERT_TRUE(readable(receiver.wake_fd(), 10000))
            << "wake-up lost at " << next_a << "/" << next_b;
        receiver.clear_wake();
        while (auto command = next_command(receiver)) {
            const std::string& data = std::get<Input>(*command).data;
            int& next = data[0] == 'a' ? next_a : next_b;
            ASSERT_EQ(data.substr(1), std::to_string(next));
            ++next;
        }
    }
    first.join();
    second.join();
    EXPECT_EQ(next_a, per_thread);
    EXPECT_EQ(next_b, per_thread);
    EXPECT_FALSE(next_command(receiver).has_value());
}

}  // namespace
}  // namespace tsb
