#include "support/channel.hpp"

#include <stdexcept>

namespace tsb::test {

std::pair<CommandSender, CommandReceiver> new_channel() {
    auto channel = make_command_channel();
    // Thrown, not merely reported: there is no channel to go on with.
    if (!channel) throw std::runtime_error("no command channel: " + channel.error().describe());
    return std::move(*channel);
}

std::optional<BrokerCommand> next_command(CommandReceiver& receiver) {
    std::optional<ReceivedCommand> received = receiver.try_recv_held();
    if (!received) return std::nullopt;
    return std::move(received->command);
}

}  // namespace tsb::test
