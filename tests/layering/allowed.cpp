// Plays a file of the text module that uses only its own module: it must
// link, or the probes that must not prove nothing.
#include "text/utf8.hpp"

int main(int argc, char** argv) { return argc > 1 && tsb::is_valid_utf8(argv[1]) ? 0 : 1; }
