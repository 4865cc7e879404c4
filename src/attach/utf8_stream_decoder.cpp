#include "attach/utf8_stream_decoder.hpp"

#include <algorithm>
#include <cstdint>

namespace tsb::attach {

namespace {

constexpr std::string_view replacement = "\xEF\xBF\xBD";

struct Lead {
    std::size_t length;             // 0: not a lead byte
    std::uint8_t second_low, second_high;  // the range of the byte after it
};

// The well-formed sequences of the Unicode standard (table 3-7): the
// second byte's range rules out overlong forms, surrogates and code points
// above U+10FFFF.
Lead lead(std::uint8_t byte) {
    if (byte >= 0xC2 && byte <= 0xDF) return {2, 0x80, 0xBF};
    if (byte == 0xE0) return {3, 0xA0, 0xBF};
    if (byte == 0xED) return {3, 0x80, 0x9F};
    if (byte >= 0xE1 && byte <= 0xEF) return {3, 0x80, 0xBF};
    if (byte == 0xF0) return {4, 0x90, 0xBF};
    if (byte >= 0xF1 && byte <= 0xF3) return {4, 0x80, 0xBF};
    if (byte == 0xF4) return {4, 0x80, 0x8F};
    return {0, 0, 0};
}

// Decodes `bytes` into `text`; returns how many bytes it took. Unless
// `final`, a well-formed but cut sequence at the end is left untaken.
// Valid runs are copied in one piece.
std::size_t decode_some(std::string_view bytes, std::string& text, bool final) {
    std::size_t run = 0, at = 0;
    const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(bytes[i]); };
    while (at < bytes.size()) {
        if (byte(at) < 0x80) {
            ++at;
            continue;
        }
        const Lead first = lead(byte(at));
        std::size_t good = first.length == 0 ? 0 : 1;  // bytes of a well-formed prefix
        while (good > 0 && good < first.length && at + good < bytes.size()) {
            const std::uint8_t low = good == 1 ? first.second_low : 0x80;
            const std::uint8_t high = good == 1 ? first.second_high : 0xBF;
            if (byte(at + good) < low || byte(at + good) > high) break;
            ++good;
        }
        if (good == first.length && good > 0) {
            at += good;
            continue;
        }
        text.append(bytes.substr(run, at - run));
        if (at + good == bytes.size() && good > 0 && !final) return at;  // cut: wait for the rest
        text.append(replacement);
        at += std::max<std::size_t>(good, 1);
        run = at;
    }
    text.append(bytes.substr(run));
    return bytes.size();
}

}  // namespace

void Utf8StreamDecoder::decode(std::string_view bytes, std::string& text) {
    if (!held_.empty()) {
        // A sequence needs at most 3 bytes after its lead: enough of the
        // new bytes to complete (or refute) the held one.
        std::string joined = held_;
        joined.append(bytes.substr(0, 3));
        const std::size_t taken = decode_some(joined, text, false);
        if (taken < held_.size()) {  // still cut: every new byte is in it
            held_ = joined.substr(taken);
            return;
        }
        bytes.remove_prefix(std::min(bytes.size(), taken - held_.size()));
        held_.clear();
    }
    const std::size_t taken = decode_some(bytes, text, false);
    held_.assign(bytes.substr(taken));
}

void Utf8StreamDecoder::finish(std::string& text) {
    decode_some(held_, text, true);
    held_.clear();
}

}  // namespace tsb::attach
