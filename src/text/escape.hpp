#pragma once
// The one escaper for text written on the broker's own lines: inside JSON
// strings on standard output, and wherever a diagnostic quotes text that
// came from outside.

#include <cstddef>
#include <string>
#include <string_view>

namespace tsb {

enum class EscapeFor {
    // JSON requires escapes for the quote, the backslash and 0x00-0x1F and
    // for nothing else: "/", 0x7F and everything beyond ASCII stay raw.
    json_string,
    // A diagnostic must stay one line and must not drive the reader's
    // terminal: 0x00-0x1F and 0x7F are escaped JSON-style, quotes are not.
    diagnostic,
};

// Appends `text` with the escapes `target` needs ("\n", "\t", "\u001b" ...,
// lower-case hex). Runs of bytes that need no escape are copied in one piece.
void append_escaped(std::string& out, std::string_view text, EscapeFor target);

// How much of a text from outside a diagnostic quotes, escapes included.
inline constexpr std::size_t quoted_text_limit = 256;

// Text from outside (the peer, the environment), made safe to insert into a
// diagnostic: escaped for EscapeFor::diagnostic, each byte that is not part
// of a UTF-8 character replaced by U+FFFD, and kept short. Beyond
// quoted_text_limit bytes it is cut at a character boundary and ends with
// "…(N bytes cut)", N counting the bytes of `text` left out, so that a
// multi-megabyte line never becomes a multi-megabyte diagnostic.
std::string escape_peer_text(std::string_view text);

}  // namespace tsb
