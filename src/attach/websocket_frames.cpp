#include "attach/websocket_frames.hpp"

#include <algorithm>

namespace tsb::attach {

namespace {

bool is_control(Opcode opcode) { return (static_cast<std::uint8_t>(opcode) & 0x8) != 0; }

bool known(std::uint8_t opcode) {
    return opcode <= 0x2 || (opcode >= 0x8 && opcode <= 0xA);
}

void apply_mask(char* bytes, std::size_t size, const FrameMask& mask) {
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(bytes[i] ^ mask[i % 4]);
}

void append_big_endian(std::string& out, std::uint64_t value, int bytes) {
    for (int shift = (bytes - 1) * 8; shift >= 0; shift -= 8) out.push_back(static_cast<char>(value >> shift));
}

std::uint64_t read_big_endian(std::string_view bytes) {
    std::uint64_t value = 0;
    for (const char c : bytes) value = value << 8 | static_cast<std::uint8_t>(c);
    return value;
}

}  // namespace

std::string encode_frame(Opcode opcode, std::string_view payload, std::optional<FrameMask> mask, bool last) {
    std::string frame;
    frame.reserve(payload.size() + 14);
    frame.push_back(static_cast<char>((last ? 0x80 : 0) | static_cast<std::uint8_t>(opcode)));
    const std::uint8_t masked = mask ? 0x80 : 0;
    if (payload.size() < 126) {
        frame.push_back(static_cast<char>(masked | payload.size()));
    } else if (payload.size() <= 0xFFFF) {
        frame.push_back(static_cast<char>(masked | 126));
        append_big_endian(frame, payload.size(), 2);
    } else {
        frame.push_back(static_cast<char>(masked | 127));
        append_big_endian(frame, payload.size(), 8);
    }
    if (mask) frame.append(reinterpret_cast<const char*>(mask->data()), mask->size());
    const std::size_t start = frame.size();
    frame.append(payload);
    if (mask) apply_mask(frame.data() + start, payload.size(), *mask);
    return frame;
}

std::string close_payload(std::uint16_t code, std::string_view reason) {
    std::string payload;
    append_big_endian(payload, code, 2);
    payload.append(reason.substr(0, 123));  // a control frame holds 125 bytes
    return payload;
}

Result<std::optional<FrameReader::Header>> FrameReader::read_header() const {
    const std::string_view bytes = std::string_view(buffer_).substr(taken_);
    if (bytes.size() < 2) return std::nullopt;
    const auto first = static_cast<std::uint8_t>(bytes[0]), second = static_cast<std::uint8_t>(bytes[1]);
    if ((first & 0x70) != 0) return fail(Error::text("a frame with reserved bits set"));
    if (!known(first & 0x0F)) return fail(Error::text("a frame of unknown opcode " + std::to_string(first & 0x0F)));
    Header header{.last = (first & 0x80) != 0, .opcode = static_cast<Opcode>(first & 0x0F),
                  .header_size = 2, .payload_size = second & 0x7Fu, .mask = std::nullopt};
    const std::size_t length_size = header.payload_size == 126 ? 2 : header.payload_size == 127 ? 8 : 0;
    const bool masked = (second & 0x80) != 0;
    header.header_size += length_size + (masked ? 4 : 0);
    if (bytes.size() < header.header_size) return std::nullopt;
    if (length_size > 0) {
        header.payload_size = read_big_endian(bytes.substr(2, length_size));
        if (header.payload_size >> 63 != 0) return fail(Error::text("a frame whose length has its top bit set"));
    }
    if (masked) {
        header.mask.emplace();
        std::copy_n(bytes.data() + 2 + length_size, 4, reinterpret_cast<char*>(header.mask->data()));
    }
    return header;
}

Result<void> FrameReader::check(const Header& header) const {
    if (header.mask.has_value() != masked_)
        return fail(Error::text(masked_ ? "an unmasked frame" : "a masked frame from the server"));
    if (is_control(header.opcode)) {
        if (!header.last || header.payload_size > 125) return fail(Error::text("a control frame fragmented or over 125 bytes"));
        return {};
    }
    if (header.opcode == Opcode::continuation && !fragmented_) return fail(Error::text("a continuation frame with no message to continue"));
    if (header.opcode != Opcode::continuation && fragmented_) return fail(Error::text("a new message inside a fragmented one"));
    if (header.payload_size > max_message_ - std::min(max_message_, fragments_.size()))
        return fail(Error::text("a message larger than " + std::to_string(max_message_ >> 20) + " MiB"));
    return {};
}

Result<std::optional<WebSocketMessage>> FrameReader::next() {
    for (;;) {
        auto header = read_header();
        if (!header) return fail(header.error());
        if (!*header) break;
        if (auto checked = check(**header); !checked) return fail(checked.error());
        const Header& h = **header;
        if (buffer_.size() - taken_ - h.header_size < h.payload_size) break;
        char* payload = buffer_.data() + taken_ + h.header_size;
        const auto size = static_cast<std::size_t>(h.payload_size);
        if (h.mask) apply_mask(payload, size, *h.mask);
        taken_ += h.header_size + size;
        if (is_control(h.opcode)) return WebSocketMessage{h.opcode, std::string(payload, size)};
        if (h.opcode != Opcode::continuation) fragmented_ = h.opcode;
        fragments_.append(payload, size);
        if (h.last) {
            WebSocketMessage message{*fragmented_, std::move(fragments_)};
            fragments_.clear();
            fragmented_.reset();
            return message;
        }
    }
    // What is taken goes once the rest is short of a frame: one move per read, not per frame.
    buffer_.erase(0, taken_);
    taken_ = 0;
    return std::nullopt;
}

}  // namespace tsb::attach
