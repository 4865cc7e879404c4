// Base64 decoding of "data_b64" against a small strict decoder written
// here: both accept the same texts and give the same bytes, a rejection
// names one of the four kinds of fault, and accepted text is canonical (it
// encodes back to itself).

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "protocol/base64.hpp"

namespace {

int symbol_value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// RFC 4648 section 4, read strictly: whole groups of four, "=" only as the
// last one or two characters, no bits set beyond the last whole byte.
std::optional<std::string> reference_decode(std::string_view text) {
    if (text.size() % 4 != 0) return std::nullopt;
    std::size_t padding = 0;
    while (padding < 2 && padding < text.size() && text[text.size() - 1 - padding] == '=') ++padding;
    std::string out;
    std::uint32_t bits = 0;
    int held = 0;
    for (std::size_t i = 0; i < text.size() - padding; ++i) {
        const int value = symbol_value(text[i]);
        if (value < 0) return std::nullopt;
        bits = (bits << 6) | static_cast<std::uint32_t>(value);
        held += 6;
        if (held >= 8) {
            held -= 8;
            out.push_back(static_cast<char>((bits >> held) & 0xFF));
        }
    }
    if ((bits & ((1u << held) - 1)) != 0) return std::nullopt;  // stray low bits
    // What the padding stands for must match the symbols before it.
    if (padding != 0 && held != 2 * static_cast<int>(padding)) return std::nullopt;
    return out;
}

bool names_a_fault(const std::string& description) {
    for (const std::string_view kind : {"invalid symbol ", "invalid last symbol ", "invalid padding",
                                        "invalid length "}) {
        if (description.starts_with(kind)) return true;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto decoded = tsb::base64_decode(text);
    const auto expected = reference_decode(text);
    if (decoded.has_value() != expected.has_value()) __builtin_trap();
    if (!decoded) {
        if (!names_a_fault(decoded.error().describe())) __builtin_trap();
        return 0;
    }
    if (*decoded != *expected) __builtin_trap();
    if (tsb::base64_encode(*decoded) != text) __builtin_trap();
    return 0;
}
