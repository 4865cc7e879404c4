#include "config/config.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <nlohmann/json.hpp>

#include "text/json_error.hpp"
#include "text/utf8.hpp"

namespace tsb {
namespace {

using nlohmann::json;

constexpr std::string_view shell_variable = "TERMINAL_STREAM_SHELL_CMD_JSON";
constexpr std::string_view default_term = "xterm-256color";

// The value of a variable when it is set to valid UTF-8 text; anything else
// counts as not set, silently.
std::optional<std::string> text_variable(const EnvLookup& env, std::string_view name) {
    std::optional<std::string> value = env(name);
    if (value && !is_valid_utf8(*value)) return std::nullopt;
    return value;
}

// Where a JSON text went wrong, as the parser reports it.
struct JsonFailure {
    std::size_t position;  // bytes consumed when the error was found
    std::string description;
};

// A reader that builds nothing: it only walks the text and keeps the
// parser's first complaint. The tree is built afterwards, from text already
// known to be good, so no parser exception ever has to be thrown.
class JsonChecker final : public nlohmann::json_sax<json> {
public:
    std::optional<JsonFailure> failure;

    bool null() override { return true; }
    bool boolean(bool) override { return true; }
    bool number_integer(number_integer_t) override { return true; }
    bool number_unsigned(number_unsigned_t) override { return true; }
    bool number_float(number_float_t, const string_t&) override { return true; }
    bool string(string_t&) override { return true; }
    bool binary(binary_t&) override { return true; }
    bool start_object(std::size_t) override { return true; }
    bool key(string_t&) override { return true; }
    bool end_object() override { return true; }
    bool start_array(std::size_t) override { return true; }
    bool end_array() override { return true; }

    bool parse_error(std::size_t position, const std::string&,
                     const nlohmann::detail::exception& error) override {
        failure = JsonFailure{position, json_error_description(error.what())};
        return false;
    }
};

// The whole text as one JSON value (surrounding JSON white space allowed),
// or the parser's error text with its position.
Result<json> parse_json_text(std::string_view text) {
    JsonChecker checker;
    json::sax_parse(text, &checker, nlohmann::json::input_format_t::json, true);
    if (checker.failure) {
        return fail(Error::text(
            json_failure_text(text, checker.failure->description, checker.failure->position)));
    }
    json value = json::parse(text, nullptr, false);
    if (value.is_discarded()) return fail(Error::text("invalid JSON text"));
    return value;
}

// One element of the command array as one argument: a string with some
// visible text as it stands, anything else as its compact JSON text.
std::string element_argument(const json& element) {
    if (element.is_string()) {
        const auto& text = element.get_ref<const std::string&>();
        if (!is_blank(text)) return text;
    }
    return element.dump();
}

// The command from the variable, or nothing when it gives none (not set,
// unusable, or an empty array); reports on a value that is unusable.
std::optional<std::vector<std::string>> command_from_variable(const EnvLookup& env,
                                                              std::vector<Diagnostic>& diagnostics) {
    const std::optional<std::string> value = text_variable(env, shell_variable);
    if (!value) return std::nullopt;
    Result<json> parsed = parse_json_text(*value);
    if (!parsed) {
        diagnostics.push_back({"failed to parse TERMINAL_STREAM_SHELL_CMD_JSON", std::move(parsed.error())});
        return std::nullopt;
    }
    if (!parsed->is_array()) {
        diagnostics.push_back({"TERMINAL_STREAM_SHELL_CMD_JSON must decode to a non-empty array", {}});
        return std::nullopt;
    }
    if (parsed->empty()) return std::nullopt;
    std::vector<std::string> command;
    command.reserve(parsed->size());
    for (const json& element : *parsed) command.push_back(element_argument(element));
    return command;
}

// The arguments after the first "--" (the search starts at the program name
// itself), or nothing when there is no "--" or nothing after it. An argument
// that is not UTF-8 fails the whole command: changing it would run some
// other command than the one asked for.
Result<std::optional<std::vector<std::string>>> command_from_arguments(
    std::span<const std::string> args) {
    std::size_t separator = 0;
    while (separator < args.size() && args[separator] != "--") ++separator;
    if (separator + 1 >= args.size()) return std::nullopt;
    for (std::size_t i = separator + 1; i < args.size(); ++i) {
        if (const auto bad = find_invalid_utf8(args[i])) {
            return fail(Error::text("argument " + std::to_string(i) +
                                    " is not valid UTF-8 at byte " + std::to_string(*bad)));
        }
    }
    return std::vector<std::string>(args.begin() + static_cast<std::ptrdiff_t>(separator) + 1,
                                    args.end());
}

std::optional<std::string> current_directory() {
    std::string buffer(256, '\0');
    while (::getcwd(buffer.data(), buffer.size()) == nullptr) {
        // ERANGE only means the path is longer than the buffer.
        if (errno != ERANGE) return std::nullopt;
        buffer.resize(buffer.size() * 2);
    }
    buffer.resize(buffer.find('\0'));
    return buffer;
}

// A variable that asks for something by being set to anything but "0".
bool switch_variable(const EnvLookup& env, std::string_view name) {
    const std::optional<std::string> value = env(name);
    return value && !value->empty() && *value != "0";
}

}  // namespace

Result<std::vector<std::string>> resolve_shell_command(const ConfigSource& source,
                                                       std::vector<Diagnostic>& diagnostics) {
    if (auto command = command_from_variable(source.env, diagnostics)) return std::move(*command);
    auto from_arguments = command_from_arguments(source.args);
    if (!from_arguments) return fail(std::move(from_arguments.error()));
    if (*from_arguments) return std::move(**from_arguments);
    return std::vector<std::string>{"sh", "-i"};
}

Result<BrokerConfig> build_config(const ConfigSource& source, std::vector<Diagnostic>& diagnostics) {
    BrokerConfig config;
    // A path is bytes: a directory whose name is not UTF-8 is still the
    // one asked for (the ready event shows it with U+FFFD in its place).
    if (auto cwd = source.env("TERMINAL_STREAM_CWD")) {
        config.cwd = std::move(*cwd);
    } else if (source.current_dir && is_valid_utf8(*source.current_dir)) {
        config.cwd = *source.current_dir;
    } else {
        config.cwd = ".";
    }
    config.cols = parse_positive_u16(text_variable(source.env, "TERMINAL_STREAM_COLS"), default_cols);
    config.rows = parse_positive_u16(text_variable(source.env, "TERMINAL_STREAM_ROWS"), default_rows);
    config.term = text_variable(source.env, "TERM").value_or(std::string(default_term));
    config.use_pidfd = !switch_variable(source.env, "TERMINAL_STREAM_NO_PIDFD");
    auto shell = resolve_shell_command(source, diagnostics);
    if (!shell) return fail(std::move(shell.error()));
    config.shell = std::move(*shell);
    return config;
}

Result<BrokerConfig> build_config_from_process(int argc, char** argv,
                                               std::vector<Diagnostic>& diagnostics) {
    const std::vector<std::string> args(argv, argv + (argc > 0 ? argc : 0));
    const EnvLookup env = [](std::string_view name) -> std::optional<std::string> {
        const char* value = std::getenv(std::string(name).c_str());
        if (value == nullptr) return std::nullopt;
        return std::string(value);
    };
    return build_config(ConfigSource{env, args, current_directory()}, diagnostics);
}

}  // namespace tsb
