#pragma once
// Column and row counts: unsigned 16-bit values from 1 to 65535 (0 never
// stands for a size), the one default size, and the one rule by which a text
// becomes a count. The configuration and the inbound notifications share it.

#include <cstdint>
#include <optional>
#include <string_view>

namespace tsb {

inline constexpr std::uint16_t default_cols = 80;
inline constexpr std::uint16_t default_rows = 24;

// 1 to 65535 from a decimal text with optional "+" and Unicode White_Space
// around it; `fallback` for anything else (absent, empty, signed, zero,
// too large, non-ASCII digits, not UTF-8 ...).
std::uint16_t parse_positive_u16(std::optional<std::string_view> text, std::uint16_t fallback);

}  // namespace tsb
