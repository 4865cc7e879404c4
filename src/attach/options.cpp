#include "attach/options.hpp"

#include <unistd.h>

#include <climits>
#include <string_view>

namespace tsb::attach {

namespace {

constexpr std::string_view broker_name = "terminal-stream-broker";

}  // namespace

std::expected<AttachOptions, std::string> parse_attach_options(const std::vector<std::string>& args,
                                                               const AttachDefaults& defaults) {
    AttachOptions options;
    std::optional<std::string> named;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--") {
            options.shell.assign(args.begin() + static_cast<std::ptrdiff_t>(i) + 1, args.end());
            break;
        }
        if (arg == "-h" || arg == "--help") {
            options.help = true;
        } else if (arg == "--broker") {
            if (i + 1 == args.size()) return std::unexpected("--broker needs a program path");
            named = args[++i];
        } else if (arg.starts_with("--broker=")) {
            named = arg.substr(std::string_view("--broker=").size());
        } else {
            return std::unexpected("unknown argument: " + arg);
        }
    }
    if (named && named->empty()) return std::unexpected("--broker needs a program path");

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
