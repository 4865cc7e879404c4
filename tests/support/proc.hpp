#pragma once
// What /proc tells the tests about this process.

#include <string>
#include <vector>

namespace tsb::test {

// The names (comm) of this process's threads.
std::vector<std::string> thread_names();

// A field of /proc/PID/status in KiB (such as "VmRSS" or "VmHWM"); 0 when
// it cannot be read.
long status_kib(int pid, const std::string& field);

// The pids of the living descendants of `pid` whose name (comm) is `name`.
std::vector<int> descendants_named(int pid, const std::string& name);

}  // namespace tsb::test
