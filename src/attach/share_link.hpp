#pragma once
// A share link as the owner's page shows it, `http://HOST:PORT/?share=CAP`:
// where the browser terminal's server is, and the capability that grants
// one session in one mode. The client opens the link's session the way a
// page of that address does: a WebSocket to /terminal?share=CAP, with the
// page's origin.

#include <expected>
#include <string>
#include <string_view>

namespace tsb::attach {

struct ShareLink {
    bool secure = false;     // https: the server sits behind a TLS proxy; joined over TLS
    std::string host;        // for the lookup: a name, or an address (IPv6 without brackets)
    std::string port;        // the link's, or the scheme's default
    std::string authority;   // host[:port] as a browser sends it in Host: brackets, no default port
    std::string capability;  // base64url, as the server makes it

    // What a page of the link's address sends as its Origin.
    std::string origin() const;
    // The request target of the session's WebSocket.
    std::string socket_target() const;
};

// Reads a link; an error is a one-line text saying what is wrong with it.
std::expected<ShareLink, std::string> parse_share_link(std::string_view text);

}  // namespace tsb::attach
