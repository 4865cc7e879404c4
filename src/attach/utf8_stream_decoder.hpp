#pragma once
// Terminal output as text, read after read: a character whose bytes are
// split across two reads is one character, and bytes that are not UTF-8
// become U+FFFD, one for each maximal ill-formed part (as the WHATWG
// decoder, TextDecoder and Python's "replace" handler do).

#include <string>
#include <string_view>

namespace tsb::attach {

class Utf8StreamDecoder {
public:
    // Appends to `text` the characters `bytes` completes; a sequence cut
    // at the end of `bytes` is held for the next call.
    void decode(std::string_view bytes, std::string& text);

    // The end of the stream: a sequence still held becomes U+FFFD.
    void finish(std::string& text);

private:
    std::string held_;  // the start of a cut sequence: at most 3 bytes
};

}  // namespace tsb::attach
