// The shell command from TERMINAL_STREAM_SHELL_CMD_JSON, checked against the
// JSON library's own reading of the whole value: which values give a
// command, which fall back to "sh -i", and that an unusable one costs
// exactly one short diagnostic.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "config/config.hpp"
#include "log/log.hpp"
#include "text/utf8.hpp"

namespace {

using nlohmann::json;

const std::vector<std::string> fallback{"sh", "-i"};

// The command the rules give for a value the library read as an array.
std::vector<std::string> expected_command(const json& array) {
    std::vector<std::string> command;
    for (const json& element : array) {
        if (element.is_string() && !tsb::is_blank(element.get_ref<const std::string&>())) {
            command.push_back(element.get<std::string>());
        } else {
            command.push_back(element.dump());
        }
    }
    return command;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // An environment value ends at its first NUL.
    std::string value(reinterpret_cast<const char*>(data), size);
    value.resize(value.find('\0') == std::string::npos ? value.size() : value.find('\0'));
    const tsb::EnvLookup env = [&](std::string_view name) -> std::optional<std::string> {
        if (name == "TERMINAL_STREAM_SHELL_CMD_JSON") return value;
        return std::nullopt;
    };
    const std::vector<std::string> args{"broker"};
    std::vector<tsb::Diagnostic> diagnostics;
    const auto config = tsb::build_config(tsb::ConfigSource{env, args, "/"}, diagnostics);
    if (!config) __builtin_trap();  // with no "--", "sh -i" is always there to fall back on

    std::vector<std::string> expected = fallback;
    std::size_t expected_diagnostics = 0;
    if (tsb::is_valid_utf8(value)) {
        const json parsed = json::parse(value, nullptr, false);
        if (parsed.is_discarded() || !parsed.is_array()) {
            expected_diagnostics = 1;
        } else if (!parsed.empty()) {
            expected = expected_command(parsed);
        }
    }
    if (config->shell != expected || diagnostics.size() != expected_diagnostics) __builtin_trap();
    for (const tsb::Diagnostic& diagnostic : diagnostics) {
        const std::string line = tsb::format_diagnostic(diagnostic);
        if (line.size() > 1024 || line.find('\n') != line.size() - 1) __builtin_trap();
    }
    return 0;
}
