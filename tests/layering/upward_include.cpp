// Plays a file of the text module that includes a header from above it.
#include "log/log.hpp"
#include "text/utf8.hpp"

int main(int argc, char** argv) {
    if (argc > 1 && !tsb::is_valid_utf8(argv[1])) tsb::log_message("not UTF-8");
    return 0;
}
