#include "support/channel.hpp"

#include <stdexcept>

namespace tsb::test {

std::pair<CommandSender, CommandReceiver> new_channel() {
    auto channel = make_command_channel();
    // Thrown, not merely reported: there is no channel to go on with.
    if (!channel) throw std::runtime_error("no command channel: " + channel.error().describe());
    return std::move(*channel);
}

}  // namespace tsb::test
