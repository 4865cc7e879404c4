#include "text/escape.hpp"

#include "text/utf8.hpp"

namespace tsb {
namespace {

bool needs_escape(unsigned char byte, EscapeFor target) noexcept {
    if (byte < 0x20) return true;
    if (target == EscapeFor::json_string) return byte == '"' || byte == '\\';
    return byte == 0x7F;
}

// Bytes that append_escaped writes for `byte` in a diagnostic.
std::size_t escaped_width(unsigned char byte) noexcept {
    if (!needs_escape(byte, EscapeFor::diagnostic)) return 1;
    switch (byte) {
    case '\b': case '\t': case '\n': case '\f': case '\r': return 2;
    default: return 6;
    }
}

}  // namespace

void append_escaped(std::string& out, std::string_view text, EscapeFor target) {
    static constexpr char hex[] = "0123456789abcdef";
    std::size_t run = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (!needs_escape(byte, target)) continue;
        out.append(text.substr(run, i - run));
        run = i + 1;
        switch (byte) {
        case '"': out.append("\\\""); break;
        case '\\': out.append("\\\\"); break;
        case '\b': out.append("\\b"); break;
        case '\t': out.append("\\t"); break;
        case '\n': out.append("\\n"); break;
        case '\f': out.append("\\f"); break;
        case '\r': out.append("\\r"); break;
        default: {
            const char escape[] = {'\\', 'u', '0', '0', hex[byte >> 4], hex[byte & 0xF]};
            out.append(escape, sizeof escape);
        }
        }
    }
    out.append(text.substr(run));
}

std::string escape_peer_text(std::string_view text) {
    // One character at a time, as far as what it becomes fits. Bytes that
    // are not UTF-8 (a parser quoting the first byte of a character, say)
    // become U+FFFD, so that the diagnostic stays valid UTF-8.
    std::string out;
    std::size_t at = 0;
    while (at < text.size()) {
        const auto byte = static_cast<unsigned char>(text[at]);
        const std::size_t length = byte < 0x80 ? 1 : utf8_sequence_length(text, at);
        const std::size_t width = byte < 0x80 ? escaped_width(byte) : length == 0 ? 3 : length;
        if (out.size() + width > quoted_text_limit) break;
        if (length == 0) {
            out.append("\uFFFD");
            ++at;
            continue;
        }
        append_escaped(out, text.substr(at, length), EscapeFor::diagnostic);
        at += length;
    }
    if (at < text.size()) {
        out.append("\u2026(").append(std::to_string(text.size() - at)).append(" bytes cut)");
    }
    return out;
}

}  // namespace tsb
