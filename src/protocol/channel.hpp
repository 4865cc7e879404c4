#pragma once
// The command channel: an unbounded first-in first-out queue from any
// number of CommandSenders to one CommandReceiver. Neither side ever
// blocks. The channel also owns a wake-up descriptor (an eventfd, close-on-
// exec) that becomes readable when a command is queued, so the main loop can
// wait on the terminal and on the channel at once.

#include <memory>
#include <optional>
#include <utility>

#include "protocol/command.hpp"
#include "sys/error.hpp"

namespace tsb {

namespace detail {
struct ChannelState;
}

class CommandSender {
public:
    // Appends the command and reports success while the receiver exists;
    // once it is gone, hands the command back. Never blocks. A moved-from
    // sender belongs to no channel and hands every command back.
    std::expected<void, BrokerCommand> send(BrokerCommand command) const;

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
    // Drops every queued command; later sends fail.
    ~CommandReceiver();

    // The oldest queued command, or nothing when the queue is empty (whether
    // or not senders remain). Never blocks.
    std::optional<BrokerCommand> try_recv();

    // The wake-up protocol. A send that finds the queue empty makes
    // wake_fd() readable (later sends of the same burst do not touch it).
    // After seeing it readable, the receiver calls clear_wake() first and
    // then drains with try_recv() until it yields nothing. Because the clear
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
