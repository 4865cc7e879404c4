#pragma once
// A command channel for tests of the code on either side of it.

#include <utility>

#include "protocol/channel.hpp"

namespace tsb::test {

// A new channel; a failure to create one fails the test with its reason.
std::pair<CommandSender, CommandReceiver> new_channel();

}  // namespace tsb::test
