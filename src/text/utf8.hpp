#pragma once
// UTF-8 validation and Unicode White_Space handling. Peer text and
// environment values are byte strings; these helpers decide which of them
// count as text and which characters count as blanks.

#include <cstddef>
#include <optional>
#include <string_view>

namespace tsb {

// Offset of the first byte that does not start a well-formed UTF-8 sequence
// (overlong forms, surrogates and code points above U+10FFFF included), or
// nothing when the whole text is valid.
std::optional<std::size_t> find_invalid_utf8(std::string_view text) noexcept;

inline bool is_valid_utf8(std::string_view text) noexcept { return !find_invalid_utf8(text); }

// Length in bytes of the well-formed sequence that starts at text[at], or 0
// when the bytes there are not one.
std::size_t utf8_sequence_length(std::string_view text, std::size_t at) noexcept;

// Characters with the Unicode White_Space property (not only ASCII blanks).
bool is_white_space(char32_t code_point) noexcept;

// The text without leading and trailing White_Space characters. The text
// must be valid UTF-8.
std::string_view trim_white_space(std::string_view text) noexcept;

// True when the text is empty or holds only White_Space characters. The
// text must be valid UTF-8.
inline bool is_blank(std::string_view text) noexcept { return trim_white_space(text).empty(); }

}  // namespace tsb
