#pragma once
// Starting the broker's detached, named threads.

#include <functional>
#include <string_view>

#include "sys/error.hpp"

namespace tsb {

// Runs `body` on a new detached thread. The name handed to the system is cut
// to the 15 bytes Linux allows. Fails with the system error when the thread
// cannot be created; no exception leaves `body`.
Result<void> spawn_named_thread(std::string_view name, std::function<void()> body);

}  // namespace tsb
