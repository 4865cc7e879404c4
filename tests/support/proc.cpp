#include "support/proc.hpp"

#include <dirent.h>

#include <fstream>
#include <string>

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

long status_kib(int pid, const std::string& field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.starts_with(field + ":")) return std::stol(line.substr(field.size() + 1));
    }
    return 0;
}

std::vector<int> descendants_named(int pid, const std::string& name) {
    std::vector<int> found;
    std::vector<int> pending{pid};
    while (!pending.empty()) {
        const int parent = pending.back();
        pending.pop_back();
        std::ifstream children("/proc/" + std::to_string(parent) + "/task/" +
                               std::to_string(parent) + "/children");
        int child = 0;
        while (children >> child) {
            pending.push_back(child);
            std::ifstream comm("/proc/" + std::to_string(child) + "/comm");
            std::string comm_name;
            std::getline(comm, comm_name);
            if (comm_name == name) found.push_back(child);
        }
    }
    return found;
}

}  // namespace tsb::test
