#pragma once
// BrokerCommand: one instruction from a reader thread to the main loop.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include <nlohmann/json.hpp>

#include "text/window_size.hpp"

namespace tsb {

// Sets the window size, but only when both counts are present; turns the
// flow-control window on (a byte count) or off (0) when one is given; lets
// reads that find output ready one after another share a data event of up
// to a byte count, or gives each read its own again (0), when asked; sends
// the output of later data events as raw bytes after their line, or as
// Base64 in it again, when asked.
struct Connect {
    std::optional<std::uint16_t> cols = std::nullopt;
    std::optional<std::uint16_t> rows = std::nullopt;
    std::optional<std::uint32_t> flow_window = std::nullopt;
    std::optional<std::uint32_t> merge_reads = std::nullopt;
    std::optional<bool> raw_data = std::nullopt;
    friend bool operator==(const Connect&, const Connect&) = default;
};

// Bytes for the terminal; never empty.
struct Input {
    std::string data;
    friend bool operator==(const Input&, const Input&) = default;
};

struct Resize {
    std::uint16_t cols = default_cols;
    std::uint16_t rows = default_rows;
    friend bool operator==(const Resize&, const Resize&) = default;
};

struct Destroy {
    friend bool operator==(const Destroy&, const Destroy&) = default;
};

// `nonce` absent and `nonce` holding JSON null are different pings; both
// are answered with a null nonce.
struct Ping {
    std::optional<nlohmann::json> nonce;
    friend bool operator==(const Ping&, const Ping&) = default;
};

struct StdinClosed {
    friend bool operator==(const StdinClosed&, const StdinClosed&) = default;
};

// A signal the broker received; the name is one of the program's constant
// texts "SIGHUP", "SIGINT", "SIGTERM" or "signal", so building one allocates nothing.
struct Signal {
    std::string_view signal_name;
    friend bool operator==(const Signal&, const Signal&) = default;
};

// A signal the peer asks the broker to send to the shell; a number from the
// signals the notification reader accepts.
struct ShellSignal {
    int number = 0;
    friend bool operator==(const ShellSignal&, const ShellSignal&) = default;
};

// The peer has consumed every data event up to and including `seq`.
struct Ack {
    std::uint64_t seq = 0;
    friend bool operator==(const Ack&, const Ack&) = default;
};

using BrokerCommand =
    std::variant<Connect, Input, Resize, Destroy, Ping, StdinClosed, Signal, Ack, ShellSignal>;

// The largest flow-control window a peer may ask for.
inline constexpr std::uint32_t max_flow_window = 256 * 1024 * 1024;
// A data event never holds more than one read can: 64 KiB.
inline constexpr std::uint32_t max_merge_reads = 65536;

// Requests to end the session: acted on at once, whatever else waits.
inline bool is_termination_request(const BrokerCommand& command) {
    return std::holds_alternative<Destroy>(command) || std::holds_alternative<StdinClosed>(command) ||
           std::holds_alternative<Signal>(command);
}

}  // namespace tsb
