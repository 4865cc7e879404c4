// A whole inbound line, through the parser the stdin reader calls (with its
// shortcut for input lines in the usual shape) and through the general
// reader alone: both give the same command, or the same kind of rejection,
// and a rejection is one short diagnostic line.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "log/log.hpp"
#include "protocol/notification.hpp"
#include "text/utf8.hpp"

namespace {

// The first byte chooses what the rest is: the line itself, or the Base64
// text of an input line in the shape the shortcut takes, which random bytes
// would seldom hit.
std::string line_from(std::string_view data) {
    const bool as_input_text = (data.front() & 1) != 0;
    data.remove_prefix(1);
    if (!as_input_text) return std::string(data);
    return R"({"jsonrpc":"2.0","method":"terminal.input","params":{"data_b64":")" + std::string(data) +
           R"("}})";
}

void check_diagnostic(const tsb::Diagnostic& diagnostic) {
    const std::string line = tsb::format_diagnostic(diagnostic);
    if (line.size() > 1024) __builtin_trap();
    if (line.find('\n') != line.size() - 1) __builtin_trap();
    if (!tsb::is_valid_utf8(line)) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::string line = line_from(std::string_view(reinterpret_cast<const char*>(data), size));
    // The stdin reader turns such lines away before they are parsed.
    if (!tsb::is_valid_utf8(line)) return 0;
    const tsb::ParsedLine parsed = tsb::parse_notification(line);
    const tsb::ParsedLine general = tsb::detail::read_notification(line);
    if (parsed.has_value() != general.has_value()) __builtin_trap();
    if (!parsed) {
        if (parsed.error().message != general.error().message) __builtin_trap();
        check_diagnostic(parsed.error());
        check_diagnostic(general.error());
        return 0;
    }
    if (*parsed != *general) __builtin_trap();
    return 0;
}
