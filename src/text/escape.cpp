#include "text/escape.hpp"

namespace tsb {
namespace {

bool needs_escape(unsigned char byte, EscapeFor target) noexcept {
    if (byte < 0x20) return true;
    if (target == EscapeFor::json_string) return byte == '"' || byte == '\\';
    return byte == 0x7F;
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
    std::string out;
    out.reserve(text.size());
    append_escaped(out, text, EscapeFor::diagnostic);
    return out;
}

}  // namespace tsb
