#pragma once
// A WebSocket client over plain TCP, as the attach client joins a shared
// session with: connect and handshake within a deadline, then a
// non-blocking socket that the caller's loop polls. Messages sent are
// queued and go out as the socket takes them, so that a server that reads
// slowly never stalls the loop; pings are answered as they are read.

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "attach/share_link.hpp"
#include "attach/websocket_frames.hpp"
#include "sys/error.hpp"
#include "sys/fd.hpp"

namespace tsb::attach {

class WebSocketClient {
public:
    // Looks up the link's host, connects to the first of its addresses that
    // answers, and makes the handshake with the link's origin; every step
    // within `timeout`.
    static Result<WebSocketClient> connect(const ShareLink& link, std::chrono::milliseconds timeout);

    int fd() const { return socket_.get(); }

    // Queues one masked message; flush() sends it.
    void send(Opcode opcode, std::string_view payload);
    void send_text(std::string_view text) { send(Opcode::text, text); }
    bool sending() const { return !outgoing_.empty(); }
    std::size_t queued_bytes() const { return outgoing_.size(); }
    // Sends what the socket takes now.
    Result<void> flush();

    // Reads what the socket holds; false once the server has ended the stream.
    Result<bool> receive();
    // The next whole message read; nothing while none is. Pings are
    // answered here and come out as well.
    Result<std::optional<WebSocketMessage>> next();

    // Waits until a message has been read or `deadline` passes (nothing then).
    Result<std::optional<WebSocketMessage>> next_before(std::chrono::steady_clock::time_point deadline);

private:
    explicit WebSocketClient(Fd socket) : socket_(std::move(socket)) {}

    FrameMask fresh_mask();

    Fd socket_;
    FrameReader reader_;
    std::string outgoing_;
    std::string masks_;  // random bytes for masks, drawn from the kernel in batches
};

}  // namespace tsb::attach
