#include "text/window_size.hpp"

#include "text/utf8.hpp"

namespace tsb {

std::uint16_t parse_positive_u16(std::optional<std::string_view> text, std::uint16_t fallback) {
    if (!text || !is_valid_utf8(*text)) return fallback;
    std::string_view digits = trim_white_space(*text);
    if (digits.starts_with('+')) digits.remove_prefix(1);
    if (digits.empty()) return fallback;
    std::uint32_t value = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9') return fallback;
        value = value * 10 + static_cast<std::uint32_t>(c - '0');
        // Leading zeros keep the value small, so the check can run per digit.
        if (value > 65535) return fallback;
    }
    return value == 0 ? fallback : static_cast<std::uint16_t>(value);
}

}  // namespace tsb
