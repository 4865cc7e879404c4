#include "support/proc.hpp"

#include <dirent.h>

#include <fstream>

namespace tsb::test {

std::vector<std::string> thread_names() {
    std::vector<std::string> names;
    DIR* tasks = opendir("/proc/self/task");
    while (dirent* task = readdir(tasks)) {
        if (task->d_name[0] == '.') continue;
        std::ifstream comm(std::string("/proc/self/task/") + task->d_name + "/comm");
        std::string name;
        std::getline(comm, name);
        names.push_back(name);
    }
    closedir(tasks);
    return names;
}

}  // namespace tsb::test
