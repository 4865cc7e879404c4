#pragma once
// The attach client's command line: `[--broker PATH] [-- SHELL ARGS...]`,
// and where the broker program is found when no option names it.

#include <expected>
#include <optional>
#include <string>
#include <vector>

namespace tsb::attach {

struct AttachOptions {
    std::string broker;              // program to start, a path or a name for PATH
    std::vector<std::string> shell;  // handed to the broker after its own "--"
    bool help = false;
};

// Reads argv. The broker is the first of: --broker, the value of
// TERMINAL_STREAM_BROKER (`env_broker`), `sibling_broker`, the name
// "terminal-stream-broker" looked up on PATH. An error is a one-line text.
std::expected<AttachOptions, std::string> parse_attach_options(
    const std::vector<std::string>& args, const char* env_broker,
    const std::optional<std::string>& sibling_broker);

// The broker in the same directory as this executable, if there is an
// executable file of that name there.
std::optional<std::string> sibling_broker_path();

inline constexpr const char* attach_usage =
    "usage: terminal-stream-attach [--broker PATH] [-- SHELL [ARGS...]]\n";

}  // namespace tsb::attach
