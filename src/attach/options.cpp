#include "attach/options.hpp"

#include <unistd.h>

#include <charconv>
#include <climits>
#include <string_view>

namespace tsb::attach {

namespace {

constexpr std::string_view broker_name = "terminal-stream-broker";

// Less than this could not hold a header and the note that ends a recording.
constexpr std::uint64_t smallest_record_limit = 1024;

// The value of an option given as `--name VALUE` or `--name=VALUE`, taken
// from args; nothing when `arg` is not that option.
std::optional<std::expected<std::string, std::string>> option_value(const std::vector<std::string>& args,
                                                                    std::size_t& i, std::string_view name) {
    const std::string& arg = args[i];
    if (arg == name) {
        if (i + 1 == args.size()) return std::unexpected(std::string(name) + " needs a value");
        return args[++i];
    }
    if (arg.starts_with(name) && arg.size() > name.size() && arg[name.size()] == '=')
        return arg.substr(name.size() + 1);
    return std::nullopt;
}

std::expected<void, std::string> check_recording(const AttachOptions& options) {
    if (options.record.empty() && (options.record_input || options.record_limit > 0))
        return std::unexpected("--record-input and --record-limit need --record FILE");
    if (options.record_limit > 0 && options.record_limit < smallest_record_limit)
        return std::unexpected("--record-limit must be at least 1K");
    return {};
}

// --server's own options need it, and it excludes what starts a session
// here or joins one there.
std::expected<void, std::string> check_server(const AttachOptions& options, bool broker_or_shell) {
    if (!options.server) {
        if (!options.target.empty() || !options.resume.empty() || !options.share.empty())
            return std::unexpected("--target, --resume and --share need --server URL");
        return {};
    }
    if (options.join || broker_or_shell)
        return std::unexpected("--server opens its session on the server: no --join, no --broker, no shell after --");
    if (!options.target.empty() && !options.resume.empty())
        return std::unexpected("--resume takes back a session that runs already: no --target");
    return {};
}

// A server option's value, which may not be empty.
std::expected<std::string, std::string> server_value(std::expected<std::string, std::string> value,
                                                     std::string_view name) {
    if (value && value->empty()) return std::unexpected(std::string(name) + " needs a value");
    return value;
}

// The options of --server and its session; nothing when `arg` is none of them.
std::optional<std::expected<void, std::string>> read_server_option(const std::vector<std::string>& args,
                                                                   std::size_t& i, AttachOptions& options) {
    if (auto url = option_value(args, i, "--server")) {
        if (!*url) return std::unexpected(url->error());
        auto page = parse_server_page(url->value());
        if (!page) return std::unexpected(page.error());
        options.server = std::move(*page);
    } else if (auto target = option_value(args, i, "--target")) {
        auto value = server_value(std::move(*target), "--target");
        if (!value) return std::unexpected(value.error());
        options.target = std::move(*value);
    } else if (auto resume = option_value(args, i, "--resume")) {
        auto value = server_value(std::move(*resume), "--resume");
        if (!value) return std::unexpected(value.error());
        options.resume = std::move(*value);
    } else if (auto mode = option_value(args, i, "--share")) {
        if (!*mode) return std::unexpected(mode->error());
        if (mode->value() != "watch" && mode->value() != "control")
            return std::unexpected("--share needs a mode: watch or control");
        options.share.push_back(mode->value());
    } else {
        return std::nullopt;
    }
    return std::expected<void, std::string>{};
}

}  // namespace

std::optional<std::uint64_t> parse_byte_size(std::string_view text) {
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end == text.data()) return std::nullopt;
    const std::string_view suffix(end, static_cast<std::size_t>(text.data() + text.size() - end));
    int shift = 0;
    if (suffix == "K" || suffix == "k") shift = 10;
    else if (suffix == "M" || suffix == "m") shift = 20;
    else if (suffix == "G" || suffix == "g") shift = 30;
    else if (!suffix.empty()) return std::nullopt;
    if (value > (UINT64_MAX >> shift)) return std::nullopt;
    return value << shift;
}

std::expected<AttachOptions, std::string> parse_attach_options(const std::vector<std::string>& args,
                                                               const AttachDefaults& defaults) {
    AttachOptions options;
    std::optional<std::string> named;
    bool shell_given = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--") {
            options.shell.assign(args.begin() + static_cast<std::ptrdiff_t>(i) + 1, args.end());
            shell_given = true;
            break;
        }
        if (arg == "-h" || arg == "--help") {
            options.help = true;
        } else if (arg == "--broker") {
            if (i + 1 == args.size()) return std::unexpected("--broker needs a program path");
            named = args[++i];
        } else if (arg.starts_with("--broker=")) {
            named = arg.substr(std::string_view("--broker=").size());
        } else if (auto join = option_value(args, i, "--join")) {
            if (!*join) return std::unexpected(join->error());
            auto link = parse_share_link(join->value());
            if (!link) return std::unexpected(link.error());
            options.join = std::move(*link);
        } else if (auto server = read_server_option(args, i, options)) {
            if (!*server) return std::unexpected(server->error());
        } else if (arg == "--record-input") {
            options.record_input = true;
        } else if (auto record = option_value(args, i, "--record")) {
            if (!*record) return std::unexpected(record->error());
            if (record->value().empty()) return std::unexpected("--record needs a file name");
            options.record = record->value();
        } else if (auto limit = option_value(args, i, "--record-limit")) {
            if (!*limit) return std::unexpected(limit->error());
            const auto bytes = parse_byte_size(limit->value());
            if (!bytes) return std::unexpected("--record-limit needs a size: bytes, or a number with K, M or G");
            options.record_limit = *bytes;
        } else {
            return std::unexpected("unknown argument: " + arg);
        }
    }
    if (named && named->empty()) return std::unexpected("--broker needs a program path");
    if (auto checked = check_recording(options); !checked) return std::unexpected(checked.error());
    // A link grants one session that runs already: no broker, no shell to start.
    if (options.join && (named || shell_given))
        return std::unexpected("--join joins a session that runs already: no --broker, no shell after --");
    if (auto checked = check_server(options, named || shell_given); !checked) return std::unexpected(checked.error());
    if (options.join || options.server) return options;

    if (named)
        options.broker = *named;
    else if (defaults.env_broker != nullptr && *defaults.env_broker != '\0')
        options.broker = defaults.env_broker;
    else if (defaults.sibling_broker)
        options.broker = *defaults.sibling_broker;
    else
        options.broker = broker_name;
    if (options.shell.empty() && defaults.env_shell != nullptr && *defaults.env_shell != '\0')
        options.shell.emplace_back(defaults.env_shell);
    return options;
}

std::optional<std::string> sibling_broker_path() {
    char self[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0) return std::nullopt;
    std::string path(self, static_cast<std::size_t>(length));
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return std::nullopt;
    path.resize(slash + 1);
    path.append(broker_name);
    if (::access(path.c_str(), X_OK) != 0) return std::nullopt;
    return path;
}

}  // namespace tsb::attach
