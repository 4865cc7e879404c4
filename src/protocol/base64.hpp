#pragma once
// Base64 (RFC 4648 section 4, standard alphabet, "=" padding) over the
// stringencoders modp_b64 codec. Decoding is strict: foreign symbols,
// whitespace, a length that is not a multiple of 4, misplaced or missing
// padding and non-zero bits after the last whole byte are all rejected.

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include "sys/error.hpp"

namespace tsb {

// Characters the encoding of `size` bytes takes (no terminator).
constexpr std::size_t base64_encoded_size(std::size_t size) noexcept { return (size + 2) / 3 * 4; }

// Encodes `bytes` at `out`, which must have room for
// base64_encoded_size(bytes.size()) + 1 characters (the codec writes a
// terminating NUL after the text). Returns the length of the text.
std::size_t base64_encode_into(std::span<const char> bytes, char* out) noexcept;

std::string base64_encode(std::string_view bytes);

// The decoded bytes, or an error whose text names the fault: an invalid
// symbol (with the symbol and its offset), an invalid last symbol (with the
// symbol and its offset), invalid padding, or an invalid length (with the
// length). The description is computed only on failure.
Result<std::string> base64_decode(std::string_view text);

// The same, decoded into `out` (replacing what it held, empty on failure),
// whose capacity is reused.
Result<void> base64_decode_into(std::string_view text, std::string& out);

}  // namespace tsb
