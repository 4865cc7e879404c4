#pragma once
// A WebSocket client over TCP, or TLS for an https address, as the attach
// client opens or joins a session of the browser terminal's server with:
// connect and handshake within a deadline, then a non-blocking socket that
// the caller's loop polls. Messages sent are
// queued and go out as the socket takes them, so that a server that reads
// slowly never stalls the loop; pings are answered as they are read.

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "attach/server_address.hpp"
#include "attach/tls_session.hpp"
#include "attach/websocket_frames.hpp"
#include "sys/error.hpp"
#include "sys/fd.hpp"

namespace tsb::attach {

class WebSocketClient {
public:
    // Looks up the server's host, connects to the first of its addresses
    // that answers, and makes the handshake for `target` (a request target)
    // with the server's origin; every step within `timeout`.
    static Result<WebSocketClient> connect(const ServerAddress& server, std::string_view target,
                                           std::chrono::milliseconds timeout);

    int fd() const { return socket_.get(); }
    // What to poll the socket for: always its input, and room for output
    // while messages wait (or TLS needs to write to go on reading).
    short poll_events() const;

    // Queues one masked message; flush() sends it.
    void send(Opcode opcode, std::string_view payload);
    void send_text(std::string_view text) { send(Opcode::text, text); }
    bool sending() const { return !outgoing_.empty(); }
    std::size_t queued_bytes() const { return outgoing_.size(); }
    // Sends what the socket takes now.
    Result<void> flush();

    enum class Received { data, nothing, ended };
    // Reads what the socket holds: data, nothing yet, or the end of the
    // stream (after the data before it).
    Result<Received> receive();
    // The next whole message read; nothing while none is. Pings are
    // answered here and come out as well.
    Result<std::optional<WebSocketMessage>> next();

    // Waits until a message has been read or `deadline` passes (nothing
    // then), sending what is queued meanwhile.
    Result<std::optional<WebSocketMessage>> next_before(std::chrono::steady_clock::time_point deadline);

private:
    WebSocketClient(Fd socket, std::optional<TlsSession> tls) : socket_(std::move(socket)), tls_(std::move(tls)) {}

    FrameMask fresh_mask();
    // The socket's bytes, through TLS for an https address: a count; 0 at the
    // end (reads) or when nothing could go (writes); nothing for a read
    // that would wait.
    Result<std::optional<std::size_t>> read_some(char* buffer, std::size_t size);
    Result<std::size_t> write_some(std::string_view bytes);
    short waiting_for() const { return tls_ ? tls_->wanted_events() : POLLIN; }
    Result<void> handshake(const ServerAddress& server, std::string_view target,
                           std::chrono::steady_clock::time_point deadline);

    Fd socket_;
    std::optional<TlsSession> tls_;
    FrameReader reader_;
    std::string outgoing_;
    std::string masks_;  // random bytes for masks, drawn from the kernel in batches
};

}  // namespace tsb::attach
