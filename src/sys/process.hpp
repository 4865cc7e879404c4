#pragma once
// Collecting the status of a child process.

#include <sys/types.h>

#include <optional>

#include "sys/error.hpp"

namespace tsb {

// Waits until the child `pid` has ended and returns its wait status.
Result<int> wait_child(pid_t pid);

// The child's wait status once it has ended, nothing while it runs; never
// blocks.
Result<std::optional<int>> poll_child(pid_t pid);

}  // namespace tsb
