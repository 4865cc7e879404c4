// UTF-8 validation (the block-wise scan that skips ASCII runs) against a
// decoder that takes one byte at a time through the well-formed ranges of
// the Unicode standard; on valid text, trimming White_Space against a
// decoding into code points.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "text/utf8.hpp"

namespace {

struct CodePoint {
    char32_t value;
    std::size_t offset;
    std::size_t length;
};

// The byte ranges allowed after each lead byte (Unicode table 3-7): the
// second byte has a range of its own for E0, ED, F0 and F4.
bool second_byte_ok(unsigned char lead, unsigned char byte) {
    if (lead == 0xE0) return byte >= 0xA0 && byte <= 0xBF;
    if (lead == 0xED) return byte >= 0x80 && byte <= 0x9F;
    if (lead == 0xF0) return byte >= 0x90 && byte <= 0xBF;
    if (lead == 0xF4) return byte >= 0x80 && byte <= 0x8F;
    return byte >= 0x80 && byte <= 0xBF;
}

// The text's code points, or the offset of the first sequence that is not
// well formed.
std::vector<CodePoint> reference_decode(std::string_view text, std::optional<std::size_t>& bad) {
    std::vector<CodePoint> points;
    std::size_t start = 0, needed = 0, seen = 0;
    char32_t value = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (needed == 0) {
            start = i;
            seen = 0;
            if (byte < 0x80) {
                points.push_back({byte, i, 1});
                continue;
            }
            if (byte >= 0xC2 && byte <= 0xDF) needed = 1, value = byte & 0x1F;
            else if (byte >= 0xE0 && byte <= 0xEF) needed = 2, value = byte & 0x0F;
            else if (byte >= 0xF0 && byte <= 0xF4) needed = 3, value = byte & 0x07;
            else {
                bad = i;
                return points;
            }
            continue;
        }
        const auto lead = static_cast<unsigned char>(text[start]);
        const bool ok = seen == 0 ? second_byte_ok(lead, byte) : (byte & 0xC0) == 0x80;
        if (!ok) {
            bad = start;
            return points;
        }
        value = (value << 6) | (byte & 0x3F);
        ++seen;
        if (--needed == 0) points.push_back({value, start, i + 1 - start});
    }
    if (needed != 0) bad = start;
    return points;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::optional<std::size_t> expected_bad;
    const std::vector<CodePoint> points = reference_decode(text, expected_bad);
    if (tsb::find_invalid_utf8(text) != expected_bad) __builtin_trap();
    if (expected_bad) return 0;

    std::size_t first = 0, last = points.size();
    while (first < last && tsb::is_white_space(points[first].value)) ++first;
    while (last > first && tsb::is_white_space(points[last - 1].value)) --last;
    const std::size_t begin = first < points.size() ? points[first].offset : text.size();
    const std::size_t end = last > first ? points[last - 1].offset + points[last - 1].length : begin;
    const std::string_view trimmed = tsb::trim_white_space(text);
    if (trimmed.data() != text.data() + begin || trimmed.size() != end - begin) __builtin_trap();
    if (tsb::is_blank(text) != (first == last)) __builtin_trap();
    return 0;
}
