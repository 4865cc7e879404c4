#pragma once
// The opening handshake of a WebSocket client (RFC 6455 section 4): the
// upgrade request, and the checks of the server's answer that tell a
// WebSocket server from anything else listening on the port.

#include <string>
#include <string_view>

#include "sys/error.hpp"

namespace tsb::attach {

struct HandshakeRequest {
    std::string host;    // the Host header: host[:port]
    std::string target;  // the request target, path and query
    std::string origin;  // the Origin header, as a page of the server's address sends it
    std::string key;     // Sec-WebSocket-Key
};

// A fresh Sec-WebSocket-Key: 16 random bytes from the kernel, in Base64.
Result<std::string> websocket_key();

// The Sec-WebSocket-Accept a server answers `key` with.
std::string websocket_accept(std::string_view key);

std::string handshake_request_text(const HandshakeRequest& request);

// Checks the server's answer, its head up to the blank line: status 101,
// Upgrade: websocket, Connection: upgrade, and the accept value of `key`.
// An error says what the server answered instead.
Result<void> check_handshake_response(std::string_view head, std::string_view key);

}  // namespace tsb::attach
