#pragma once
// BrokerConfig: the start-up settings, read once from the environment (and,
// for the shell command, from the arguments after "--"). Unusable values
// fall back to defaults; only TERMINAL_STREAM_SHELL_CMD_JSON is reported on,
// by a diagnostic handed back to the caller.

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "sys/error.hpp"
#include "text/window_size.hpp"

namespace tsb {

struct BrokerConfig {
    std::vector<std::string> shell;  // program first; never empty
    std::string cwd;
    std::string term;
    std::uint16_t cols = default_cols;
    std::uint16_t rows = default_rows;
    // The shell's exit is watched through a process descriptor, unless
    // TERMINAL_STREAM_NO_PIDFD asks for the timed fallback (tests,
    // benchmarks, diagnosis) by a non-empty value other than "0".
    bool use_pidfd = true;

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

// The shell command: TERMINAL_STREAM_SHELL_CMD_JSON, else the arguments
// after the first "--", else "sh" "-i". Appends at most one diagnostic about
// the variable to `diagnostics`. Fails only when the command would have to come from the
// arguments and one of them is not valid UTF-8: no shell is started with
// altered arguments.
Result<std::vector<std::string>> resolve_shell_command(const ConfigSource& source,
                                                       std::vector<Diagnostic>& diagnostics);

// The whole configuration, in the order the variables are read. What the
// broker has to say about it is appended to `diagnostics`, also when it
// fails; the caller writes it.
Result<BrokerConfig> build_config(const ConfigSource& source, std::vector<Diagnostic>& diagnostics);

// The configuration of this process: its environment, argv and cwd.
Result<BrokerConfig> build_config_from_process(int argc, char** argv,
                                               std::vector<Diagnostic>& diagnostics);

}  // namespace tsb
