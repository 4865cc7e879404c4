// The attach client's reading of what a server sends when it joins a
// shared session: WebSocket frames, then the server's messages. Whatever
// the bytes, the reader gives the same messages (or the same refusal)
// however they are cut into reads, every message it gives frames again
// into the same message, and the messages parse without harm.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "attach/server_messages.hpp"
#include "attach/websocket_frames.hpp"

namespace {

using tsb::attach::FrameReader;
using tsb::attach::WebSocketMessage;

// A small bound, so that large claimed lengths are refused quickly.
constexpr std::size_t max_message = 1 << 16;

struct Reading {
    std::vector<std::pair<int, std::string>> messages;
    bool refused = false;
    bool operator==(const Reading&) const = default;
};

Reading read_in_steps(std::string_view bytes, std::size_t step) {
    FrameReader reader(max_message);
    Reading reading;
    for (std::size_t at = 0; at < bytes.size() && !reading.refused; at += step) {
        reader.feed(bytes.substr(at, step));
        for (;;) {
            auto message = reader.next();
            if (!message) {
                reading.refused = true;
                break;
            }
            if (!*message) break;
            reading.messages.emplace_back(static_cast<int>((*message)->opcode), std::move((*message)->payload));
        }
    }
    return reading;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::size_t step = data[0] % 16 + 1;
    const std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
    const Reading whole = read_in_steps(bytes, bytes.size() + 1);
    if (read_in_steps(bytes, step) != whole) __builtin_trap();

    std::string framed;
    for (const auto& [opcode, payload] : whole.messages) {
        framed += tsb::attach::encode_frame(static_cast<tsb::attach::Opcode>(opcode), payload, std::nullopt);
        if (opcode == static_cast<int>(tsb::attach::Opcode::text)) (void)tsb::attach::parse_server_message(payload);
    }
    const Reading again = read_in_steps(framed, step);
    if (again.refused || again.messages != whole.messages) __builtin_trap();
    return 0;
}
