#pragma once
// The text of a JSON parse error as diagnostics show it: the JSON library's
// description, then " at line L column C".

#include <cstddef>
#include <string>
#include <string_view>

namespace tsb {

// The library's message without its id tag ("[json.exception...] ") and,
// for syntax errors, without its own position prefix.
std::string json_error_description(std::string_view library_message);

// " at line L column C" (both from 1) for the character at which the parser
// stopped; `consumed` counts the bytes it had read, that character included,
// or one past the end when the text ran out. Columns count characters.
std::string json_error_position(std::string_view text, std::size_t consumed);

// Why a JSON text from outside was refused, as one diagnostic quotes it:
// `description` (the parser's, which may quote the text at length, or the
// reader's own) escaped and cut by escape_peer_text, then the position
// when the parser gave one (`consumed` > 0).
std::string json_failure_text(std::string_view text, std::string_view description,
                              std::size_t consumed);

}  // namespace tsb
