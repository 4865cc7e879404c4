#include "text/utf8.hpp"

#include <cstdint>

namespace tsb {
namespace {

struct Decoded {
    char32_t code_point;
    std::size_t length;  // 0 when the bytes at the position are not valid
};

bool is_continuation(unsigned char byte) noexcept { return (byte & 0xC0) == 0x80; }

// Decodes the sequence that starts at text[at], following the well-formed
// byte sequences of the Unicode standard (table 3-7).
Decoded decode_at(std::string_view text, std::size_t at) noexcept {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[at + i]); };
    const std::size_t left = text.size() - at;
    const unsigned char lead = byte(0);
    if (lead < 0x80) return {lead, 1};
    if (lead < 0xC2) return {0, 0};
    if (lead < 0xE0) {
        if (left < 2 || !is_continuation(byte(1))) return {0, 0};
        return {static_cast<char32_t>(((lead & 0x1F) << 6) | (byte(1) & 0x3F)), 2};
    }
    if (lead < 0xF0) {
        if (left < 3 || !is_continuation(byte(1)) || !is_continuation(byte(2))) return {0, 0};
        if (lead == 0xE0 && byte(1) < 0xA0) return {0, 0};  // overlong
        if (lead == 0xED && byte(1) > 0x9F) return {0, 0};  // surrogates
        return {static_cast<char32_t>(((lead & 0x0F) << 12) | ((byte(1) & 0x3F) << 6) |
                                      (byte(2) & 0x3F)),
                3};
    }
    if (lead < 0xF5) {
        if (left < 4 || !is_continuation(byte(1)) || !is_continuation(byte(2)) ||
            !is_continuation(byte(3)))
            return {0, 0};
        if (lead == 0xF0 && byte(1) < 0x90) return {0, 0};  // overlong
        if (lead == 0xF4 && byte(1) > 0x8F) return {0, 0};  // above U+10FFFF
        return {static_cast<char32_t>(((lead & 0x07) << 18) | ((byte(1) & 0x3F) << 12) |
                                      ((byte(2) & 0x3F) << 6) | (byte(3) & 0x3F)),
                4};
    }
    return {0, 0};
}

// Length in bytes of the White_Space character that ends at text[end - 1],
// or 0 when the text does not end with one.
std::size_t trailing_white_space_length(std::string_view text, std::size_t end) noexcept {
    std::size_t start = end;
    // Step back over continuation bytes to the lead byte (at most 3).
    while (start > 0 && end - start < 4) {
        --start;
        if (!is_continuation(static_cast<unsigned char>(text[start]))) break;
    }
    if (start == end) return 0;
    const Decoded decoded = decode_at(text, start);
    if (decoded.length != end - start || !is_white_space(decoded.code_point)) return 0;
    return decoded.length;
}

}  // namespace

std::optional<std::size_t> find_invalid_utf8(std::string_view text) noexcept {
    std::size_t at = 0;
    while (at < text.size()) {
        // Runs of ASCII, which is nearly all protocol text (pasted Base64
        // above all), are skipped a block at a time; the block's loop has no
        // early exit, so it runs in wide vector steps.
        constexpr std::size_t block = 64;
        if (text.size() - at >= block) {
            unsigned char high_bits = 0;
            for (std::size_t i = 0; i < block; ++i) high_bits |= static_cast<unsigned char>(text[at + i]);
            if (high_bits < 0x80) {
                at += block;
                continue;
            }
        }
        if (static_cast<unsigned char>(text[at]) < 0x80) {
            ++at;
            continue;
        }
        const Decoded decoded = decode_at(text, at);
        if (decoded.length == 0) return at;
        at += decoded.length;
    }
    return std::nullopt;
}

std::size_t utf8_sequence_length(std::string_view text, std::size_t at) noexcept {
    return at < text.size() ? decode_at(text, at).length : 0;
}

bool is_white_space(char32_t c) noexcept {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

std::string_view trim_white_space(std::string_view text) noexcept {
    std::size_t begin = 0;
    while (begin < text.size()) {
        const Decoded decoded = decode_at(text, begin);
        if (decoded.length == 0 || !is_white_space(decoded.code_point)) break;
        begin += decoded.length;
    }
    std::size_t end = text.size();
    while (end > begin) {
        const std::size_t length = trailing_white_space_length(text, end);
        if (length == 0) break;
        end -= length;
    }
    return text.substr(begin, end - begin);
}

}  // namespace tsb
