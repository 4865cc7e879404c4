#pragma once
// The attach client's command line: `[--broker PATH] [--record FILE
// [--record-input] [--record-limit SIZE]] [-- SHELL ARGS...]`, `--join
// LINK [--record ...]` or `--server URL [--target NAME | --resume ID]
// [--share MODE]... [--record ...]`, and where the broker program is found
// when no option names it.

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "attach/server_address.hpp"

namespace tsb::attach {

struct AttachOptions {
    std::string broker;              // program to start, a path or a name for PATH
    std::vector<std::string> shell;  // handed to the broker after its own "--"; empty: its default
    std::string record;              // asciicast file to write; empty: none
    bool record_input = false;       // also record what is typed (passwords included)
    std::uint64_t record_limit = 0;  // bytes; 0: no limit
    std::optional<ShareLink> join;   // a shared session to join instead of starting a broker
    std::optional<ServerPage> server;  // a browser terminal's server to open a session on instead
    std::string target;              // where the server runs the new session; empty: its first
    std::string resume;              // the id of a session of the server to take back; empty: a new one
    std::vector<std::string> share;  // a link to make for each: "watch" or "control"
    bool help = false;
};

// Where the options come from besides argv: the values of
// TERMINAL_STREAM_BROKER and SHELL (nullptr when not set), and the broker
// beside this executable.
struct AttachDefaults {
    const char* env_broker = nullptr;
    const char* env_shell = nullptr;
    std::optional<std::string> sibling_broker{};
};

// Reads argv. The broker is the first of: --broker, TERMINAL_STREAM_BROKER,
// the sibling broker, the name "terminal-stream-broker" looked up on PATH.
// Without a command after "--" the shell is the person's own, $SHELL (run
// with no arguments, as a terminal emulator runs it); without one either,
// the broker's default. An error is a one-line text.
std::expected<AttachOptions, std::string> parse_attach_options(const std::vector<std::string>& args,
                                                               const AttachDefaults& defaults);

// The broker in the same directory as this executable, if there is an
// executable file of that name there.
std::optional<std::string> sibling_broker_path();

// A size in bytes: digits, optionally followed by K, M or G (powers of 1024).
std::optional<std::uint64_t> parse_byte_size(std::string_view text);

inline constexpr const char* attach_usage =
    "usage: terminal-stream-attach [--broker PATH] [--record FILE [--record-input] [--record-limit SIZE]]\n"
    "                              [-- SHELL [ARGS...]]\n"
    "       terminal-stream-attach --join LINK [--record FILE [--record-input] [--record-limit SIZE]]\n"
    "       terminal-stream-attach --server URL [--target NAME | --resume ID] [--share watch|control]...\n"
    "                              [--record FILE [--record-input] [--record-limit SIZE]]\n";

}  // namespace tsb::attach
