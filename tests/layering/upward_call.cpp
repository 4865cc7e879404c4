// Plays a file of the text module that calls a module above it without
// its header.
#include <string_view>

#include "text/utf8.hpp"

namespace tsb {
void log_message(std::string_view message);
}

int main(int argc, char** argv) {
    if (argc > 1 && !tsb::is_valid_utf8(argv[1])) tsb::log_message("not UTF-8");
    return 0;
}
