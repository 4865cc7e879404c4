#pragma once
// WebSocket frames (RFC 6455): what a client sends, masked, and a reader
// that turns the bytes a peer sends into whole messages. Control frames
// (close, ping, pong) come out as they arrive, also between the fragments
// of a data message, which comes out once whole.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "sys/error.hpp"

namespace tsb::attach {

enum class Opcode : std::uint8_t {
    continuation = 0x0,
    text = 0x1,
    binary = 0x2,
    close = 0x8,
    ping = 0x9,
    pong = 0xA,
};

using FrameMask = std::array<std::uint8_t, 4>;

// One frame: FIN unless `last` is false, the payload masked when a mask is
// given (a client masks every frame it sends).
std::string encode_frame(Opcode opcode, std::string_view payload, std::optional<FrameMask> mask,
                         bool last = true);

// A close frame's payload: the status code, then the reason.
std::string close_payload(std::uint16_t code, std::string_view reason);

struct WebSocketMessage {
    Opcode opcode = Opcode::text;  // text, binary, close, ping or pong
    std::string payload;
};

// A refusal above the largest message a peer of this client has a reason
// to send: the server's largest frame is 128 Ki characters.
inline constexpr std::size_t default_max_message = 16u << 20;

class FrameReader {
public:
    // `masked`: the peer masks its frames (a client's, as a server reads
    // them); a server's frames must not be masked.
    explicit FrameReader(std::size_t max_message = default_max_message, bool masked = false)
        : max_message_(max_message), masked_(masked) {}

    void feed(std::string_view bytes) { buffer_.append(bytes); }

    // The next whole message; nothing while more bytes are needed. An
    // error when the peer broke the protocol: the connection cannot go on.
    Result<std::optional<WebSocketMessage>> next();

private:
    struct Header {
        bool last;
        Opcode opcode;
        std::size_t header_size;
        std::uint64_t payload_size;
        std::optional<FrameMask> mask;
    };
    // The header at the front of the buffer; nothing while it is not all there.
    Result<std::optional<Header>> read_header() const;
    Result<void> check(const Header& header) const;

    std::size_t max_message_;
    bool masked_;
    std::string buffer_;           // bytes not yet taken into a message
    std::size_t taken_ = 0;        // bytes at the buffer's front already taken
    std::optional<Opcode> fragmented_;  // the opcode of a data message in fragments
    std::string fragments_;        // its payload so far
};

}  // namespace tsb::attach
