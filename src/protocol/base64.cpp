#include "protocol/base64.hpp"

#include <modp_b64.h>

#include <cstdio>
#include <optional>

namespace tsb {
namespace {

constexpr std::size_t decode_failed = static_cast<std::size_t>(-1);

bool is_symbol(char c) noexcept {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '/';
}

unsigned symbol_value(char c) noexcept {
    if (c >= 'A' && c <= 'Z') return static_cast<unsigned>(c - 'A');
    if (c >= 'a' && c <= 'z') return static_cast<unsigned>(c - 'a') + 26;
    if (c >= '0' && c <= '9') return static_cast<unsigned>(c - '0') + 52;
    return c == '+' ? 62 : 63;
}

// The byte as the peer would recognise it, but never raw when it is a control
// or non-ASCII byte: a diagnostic must stay one readable line.
std::string show_byte(char c) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte < 0x7F) return std::string{'\'', c, '\''};
    char hex[8];
    std::snprintf(hex, sizeof hex, "0x%02x", byte);
    return hex;
}

Error symbol_error(std::string_view kind, char symbol, std::size_t offset) {
    return Error::text(std::string(kind) + " " + show_byte(symbol) + " at offset " + std::to_string(offset));
}

// Why the codec refused `text`. Only called after it did, so the common path
// never scans the text twice.
Error describe_rejection(std::string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (!is_symbol(text[i]) && text[i] != '=') return symbol_error("invalid symbol", text[i], i);
    }
    if (text.size() % 4 != 0) return Error::text("invalid length " + std::to_string(text.size()));
    // Only symbols and "=" are left and the groups are whole, so what the
    // codec refused is where the padding stands or how much of it there is.
    return Error::text("invalid padding");
}

// The codec accepts a last symbol whose bits beyond the last whole byte are
// set ("QR==" for "A"); such text has no canonical form and is refused.
std::optional<Error> check_trailing_bits(std::string_view text) {
    if (text.size() < 4 || text.back() != '=') return std::nullopt;
    const bool two_pads = text[text.size() - 2] == '=';
    const std::size_t last = text.size() - (two_pads ? 3 : 2);
    const unsigned unused_mask = two_pads ? 0x0F : 0x03;
    if ((symbol_value(text[last]) & unused_mask) == 0) return std::nullopt;
    return symbol_error("invalid last symbol", text[last], last);
}

}  // namespace

std::size_t base64_encode_into(std::span<const char> bytes, char* out) noexcept {
    return modp_b64_encode(out, bytes.data(), bytes.size());
}

std::string base64_encode(std::string_view bytes) {
    std::string text;
    // The codec writes a terminating NUL after the text: room for it, then cut.
    text.resize_and_overwrite(base64_encoded_size(bytes.size()) + 1, [&](char* out, std::size_t) {
        return base64_encode_into(std::span<const char>(bytes.data(), bytes.size()), out);
    });
    return text;
}

Result<void> base64_decode_into(std::string_view text, std::string& out) {
    std::size_t decoded = 0;
    // The buffer keeps its capacity between calls: a reused one neither
    // allocates nor zero-fills once it has grown to the largest text.
    out.resize_and_overwrite(modp_b64_decode_len(text.size()), [&](char* bytes, std::size_t) {
        decoded = modp_b64_decode(bytes, text.data(), text.size());
        return decoded == decode_failed ? 0 : decoded;
    });
    if (decoded == decode_failed) return fail(describe_rejection(text));
    if (auto error = check_trailing_bits(text)) {
        out.clear();
        return fail(std::move(*error));
    }
    return {};
}

Result<std::string> base64_decode(std::string_view text) {
    std::string bytes;
    if (auto decoded = base64_decode_into(text, bytes); !decoded) return fail(std::move(decoded.error()));
    return bytes;
}

}  // namespace tsb
