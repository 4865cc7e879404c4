#include "text/json_error.hpp"

#include <algorithm>

#include "text/escape.hpp"

namespace tsb {

std::string json_error_description(std::string_view message) {
    if (message.starts_with("[json.exception.")) {
        const auto tag_end = message.find("] ");
        if (tag_end != std::string_view::npos) message.remove_prefix(tag_end + 2);
    }
    if (message.starts_with("parse error")) {
        const auto colon = message.find(": ");
        if (colon != std::string_view::npos) message.remove_prefix(colon + 2);
    }
    return std::string(message);
}

std::string json_error_position(std::string_view text, std::size_t consumed) {
    const std::size_t at = std::min(consumed > 0 ? consumed - 1 : 0, text.size());
    std::size_t line = 1;
    std::size_t column = 1;
    for (std::size_t i = 0; i < at; ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte == '\n') {
            ++line;
            column = 1;
        } else if ((byte & 0xC0) != 0x80) {
            ++column;
        }
    }
    return " at line " + std::to_string(line) + " column " + std::to_string(column);
}

std::string json_failure_text(std::string_view text, std::string_view description,
                              std::size_t consumed) {
    std::string out = escape_peer_text(description);
    if (consumed > 0) out += json_error_position(text, consumed);
    return out;
}

}  // namespace tsb
