#pragma once
// The browser terminal server's addresses as people are handed them: the
// page address it prints, `http://HOST:PORT/?token=TOKEN`, and a share link
// as the owner's page shows it, `http://HOST:PORT/?share=CAP` (https for a
// server behind a TLS proxy). The client opens a session the way a page of
// that address does: a WebSocket to /terminal with the page's query, sent
// with the page's origin.

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

namespace tsb::attach {

// Where the server is.
struct ServerAddress {
    bool secure = false;     // https: the server sits behind a TLS proxy; reached over TLS
    std::string host;        // for the lookup: a name, or an address (IPv6 without brackets)
    std::string port;        // the address's, or the scheme's default
    std::string authority;   // host[:port] as a browser sends it in Host: brackets, no default port

    // What a page of this address sends as its Origin.
    std::string origin() const;
};

struct ShareLink {
    ServerAddress server;
    std::string capability;  // base64url, as the server makes it

    // The request target of the session's WebSocket.
    std::string socket_target() const;
};

// The page address with the server's access token: what opens new sessions.
struct ServerPage {
    ServerAddress server;
    std::string token;  // URL-safe characters only, as the server makes it

    // The request target of a new session's WebSocket at this size, on
    // `target` (empty: the server's first), or of the session `resume`.
    std::string socket_target(std::uint16_t cols, std::uint16_t rows, std::string_view target,
                              std::string_view resume) const;
};

// Each reads an address; an error is a one-line text saying what is wrong with it.
std::expected<ShareLink, std::string> parse_share_link(std::string_view text);
std::expected<ServerPage, std::string> parse_server_page(std::string_view text);

}  // namespace tsb::attach
