#pragma once
// BrokerCommand: one instruction from a reader thread to the main loop.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include <nlohmann/json.hpp>

namespace tsb {

// Sets the window size, but only when both counts are present.
struct Connect {
    std::optional<std::uint16_t> cols;
    std::optional<std::uint16_t> rows;
    friend bool operator==(const Connect&, const Connect&) = default;
};

// Bytes for the terminal; never empty.
struct Input {
    std::string data;
    friend bool operator==(const Input&, const Input&) = default;
};

struct Resize {
    std::uint16_t cols = 80;
    std::uint16_t rows = 24;
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
// texts "SIGINT", "SIGTERM" or "signal", so building one allocates nothing.
struct Signal {
    std::string_view signal_name;
    friend bool operator==(const Signal&, const Signal&) = default;
};

using BrokerCommand = std::variant<Connect, Input, Resize, Destroy, Ping, StdinClosed, Signal>;

}  // namespace tsb
