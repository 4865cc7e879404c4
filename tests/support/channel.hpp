#pragma once
// A command channel for tests of the code on either side of it.

#include <optional>
#include <utility>

#include "protocol/channel.hpp"

namespace tsb::test {

// A new channel; a failure to create one fails the test with its reason.
std::pair<CommandSender, CommandReceiver> new_channel();

// The oldest queued command, with its credit given back at once; nothing
// when the queue is empty.
std::optional<BrokerCommand> next_command(CommandReceiver& receiver);

}  // namespace tsb::test
