#pragma once
// The command channel: a first-in first-out queue from any number of
// CommandSenders to one CommandReceiver. It owns a wake-up descriptor (an
// eventfd, close-on-exec) that becomes readable when a command is queued, so
// the main loop can wait on the terminal and on the channel at once.
//
// The channel bounds what the broker holds on the peer's behalf. Every
// command carries a cost (for a command read from standard input, the
// length of its line), counted from its send until the main loop is done
// with it: while it waits in the queue, while the loop holds it behind an
// input the terminal has not taken yet, and while that input is written.
// send_waiting() blocks while the count is above the capacity, so a peer
// that outruns the terminal feels it as a pipe that is not read.

#include <condition_variable>
#include <cstddef>
#include <memory>
#include <optional>
#include <utility>

#include "protocol/command.hpp"
#include "sys/error.hpp"

namespace tsb {

// What the broker holds at most in commands not yet acted on and input not
// yet written. A single command larger than this is still taken once
// nothing else is held, so no line the reader accepts can deadlock.
inline constexpr std::size_t command_channel_capacity = 4 * 1024 * 1024;

namespace detail {
struct ChannelState;
}

// The cost of one command, given back to the channel when the credit is
// destroyed: the main loop keeps it for as long as it holds the command.
class CommandCredit {
public:
    CommandCredit() = default;
    CommandCredit(CommandCredit&& other) noexcept;
    CommandCredit& operator=(CommandCredit&& other) noexcept;
    ~CommandCredit();

private:
    friend class CommandReceiver;
    CommandCredit(std::shared_ptr<detail::ChannelState> state, std::size_t cost) noexcept;
    std::shared_ptr<detail::ChannelState> state_;
    std::size_t cost_ = 0;
};

struct ReceivedCommand {
    BrokerCommand command;
    CommandCredit credit;
};

class CommandSender {
public:
    // Appends the command and reports success while the receiver exists;
    // once it is gone, hands the command back. Never blocks: for commands
    // that must get through whatever the peer has queued (signals).
    std::expected<void, BrokerCommand> send(BrokerCommand command, std::size_t cost = 0) const;

    // As send(), but first waits while the channel holds anything and this
    // cost would take it above command_channel_capacity.
    std::expected<void, BrokerCommand> send_waiting(BrokerCommand command, std::size_t cost) const;

private:
    friend Result<std::pair<CommandSender, class CommandReceiver>> make_command_channel();
    explicit CommandSender(std::shared_ptr<detail::ChannelState> state);
    std::shared_ptr<detail::ChannelState> state_;
};

class CommandReceiver {
public:
    CommandReceiver(CommandReceiver&& other) noexcept;
    CommandReceiver& operator=(CommandReceiver&& other) noexcept;
    CommandReceiver(const CommandReceiver&) = delete;
    CommandReceiver& operator=(const CommandReceiver&) = delete;
    // Drops every queued command; later sends fail, waiting ones included.
    ~CommandReceiver();

    // The oldest queued command with its credit, or nothing when the queue
    // is empty (whether or not senders remain). Never blocks.
    std::optional<ReceivedCommand> try_recv_held();

    // A sender is blocked in send_waiting() for want of room. A sender that
    // starts waiting makes wake_fd() readable, so the receiver can look.
    bool sender_waiting() const;

    // The wake-up protocol. A send that finds the queue empty makes
    // wake_fd() readable (later sends of the same burst do not touch it).
    // After seeing it readable, the receiver calls clear_wake() first and
    // then drains with try_recv_held() until it yields nothing. Because the clear
    // comes before the drain, no wake-up can be lost: a command queued after
    // the clear is either taken by this drain or found the queue empty and
    // set the descriptor again. The descriptor may then be readable with the
    // queue already empty; such a spurious wake-up costs one empty drain.
    // -1 for a moved-from receiver.
    int wake_fd() const noexcept;
    // Consumes a pending wake-up without blocking; harmless when none is.
    void clear_wake() noexcept;

private:
    friend Result<std::pair<CommandSender, CommandReceiver>> make_command_channel();
    explicit CommandReceiver(std::shared_ptr<detail::ChannelState> state);
    void release() noexcept;
    std::shared_ptr<detail::ChannelState> state_;
};

// A new channel with its first sender. Fails only when the wake-up
// descriptor cannot be created.
Result<std::pair<CommandSender, CommandReceiver>> make_command_channel();

}  // namespace tsb
