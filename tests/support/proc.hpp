#pragma once
// What /proc tells the tests about this process.

#include <string>
#include <vector>

namespace tsb::test {

// The names (comm) of this process's threads.
std::vector<std::string> thread_names();

}  // namespace tsb::test
