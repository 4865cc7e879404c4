#pragma once
// BrokerConfig: the start-up settings, read once from the environment (and,
// for the shell command, from the arguments after "--"). Unusable values
// fall back to defaults; only TERMINAL_STREAM_SHELL_CMD_JSON is reported on.

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "sys/error.hpp"

namespace tsb {

struct BrokerConfig {
    std::vector<std::string> shell;  // program first; never empty
    std::string cwd;
    std::string term;
    std::uint16_t cols = 80;
    std::uint16_t rows = 24;

    friend bool operator==(const BrokerConfig&, const BrokerConfig&) = default;
};

// Looks up one environment variable; nothing when it is not set. The value
// is returned as raw bytes: the configuration rules decide whether it is
// usable text.
using EnvLookup = std::function<std::optional<std::string>(std::string_view name)>;

// What the configuration is built from; the process's own environment,
// arguments and working directory in production, anything in tests.
struct ConfigSource {
    EnvLookup env;
    std::span<const std::string> args;         // program name first
    std::optional<std::string> current_dir;    // nothing when it cannot be read
};

// 1 to 65535 from a decimal text with optional "+" and Unicode White_Space
// around it; `fallback` for anything else (absent, empty, signed, zero,
// too large, non-ASCII digits ...).
std::uint16_t parse_positive_u16(std::optional<std::string_view> text, std::uint16_t fallback);

// The shell command: TERMINAL_STREAM_SHELL_CMD_JSON, else the arguments
// after the first "--", else "sh" "-i". Writes at most one diagnostic about
// the variable. Fails only when the command would have to come from the
// arguments and one of them is not valid UTF-8: no shell is started with
// altered arguments.
Result<std::vector<std::string>> resolve_shell_command(const ConfigSource& source);

// The whole configuration, in the order the variables are read.
Result<BrokerConfig> build_config(const ConfigSource& source);

// The configuration of this process: its environment, argv and cwd.
Result<BrokerConfig> build_config_from_process(int argc, char** argv);

}  // namespace tsb
