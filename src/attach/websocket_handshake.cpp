#include "attach/websocket_handshake.hpp"

#include <openssl/evp.h>
#include <sys/random.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <optional>

#include "protocol/base64.hpp"

namespace tsb::attach {

namespace {

constexpr std::string_view accept_guid = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";

bool equal_nocase(std::string_view a, std::string_view b) {
    return std::ranges::equal(a, b, [](unsigned char x, unsigned char y) { return std::tolower(x) == std::tolower(y); });
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) text.remove_suffix(1);
    return text;
}

// The value of the first header line named `name` in `head`.
std::optional<std::string_view> header_value(std::string_view head, std::string_view name) {
    std::size_t start = head.find('\n');
    while (start != std::string_view::npos && start + 1 < head.size()) {
        const std::size_t end = head.find('\n', start + 1);
        const std::string_view line = head.substr(start + 1, end == std::string_view::npos ? end : end - start - 1);
        const std::size_t colon = line.find(':');
        if (colon != std::string_view::npos && equal_nocase(trim(line.substr(0, colon)), name))
            return trim(line.substr(colon + 1));
        start = end;
    }
    return std::nullopt;
}

// Whether the comma-separated list `value` holds `token`.
bool lists(std::string_view value, std::string_view token) {
    while (!value.empty()) {
        const std::size_t comma = value.find(',');
        if (equal_nocase(trim(value.substr(0, comma)), token)) return true;
        if (comma == std::string_view::npos) break;
        value.remove_prefix(comma + 1);
    }
    return false;
}

}  // namespace

Result<std::string> websocket_key() {
    std::array<char, 16> nonce{};
    std::size_t got = 0;
    while (got < nonce.size()) {
        const ssize_t n = ::getrandom(nonce.data() + got, nonce.size() - got, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return fail(Error::last_os());
        got += static_cast<std::size_t>(n);
    }
    return base64_encode(std::string_view(nonce.data(), nonce.size()));
}

std::string websocket_accept(std::string_view key) {
    const std::string text = std::string(key) + std::string(accept_guid);
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int size = 0;
    // SHA-1 is the handshake's own choice; only a broken library fails here,
    // and an empty answer then matches no server's.
    if (EVP_Digest(text.data(), text.size(), digest.data(), &size, EVP_sha1(), nullptr) != 1) return {};
    return base64_encode(std::string_view(reinterpret_cast<const char*>(digest.data()), size));
}

std::string handshake_request_text(const HandshakeRequest& request) {
    return "GET " + request.target + " HTTP/1.1\r\n"
           "Host: " + request.host + "\r\n"
           "Upgrade: websocket\r\n"
           "Connection: Upgrade\r\n"
           "Sec-WebSocket-Key: " + request.key + "\r\n"
           "Sec-WebSocket-Version: 13\r\n"
           "Origin: " + request.origin + "\r\n"
           "User-Agent: terminal-stream-attach\r\n"
           "\r\n";
}

Result<void> check_handshake_response(std::string_view head, std::string_view key) {
    const std::string_view status_line = trim(head.substr(0, head.find('\n')));
    const std::size_t space = status_line.find(' ');
    if (!status_line.starts_with("HTTP/1.") || space == std::string_view::npos)
        return fail(Error::text("the server's answer is not HTTP"));
    if (status_line.substr(space + 1, 3) != "101")
        return fail(Error::text("the server refused the connection: " + std::string(status_line.substr(space + 1))));
    const auto upgrade = header_value(head, "Upgrade");
    const auto connection = header_value(head, "Connection");
    if (!upgrade || !equal_nocase(*upgrade, "websocket") || !connection || !lists(*connection, "upgrade"))
        return fail(Error::text("the server did not switch to WebSocket"));
    const auto accept = header_value(head, "Sec-WebSocket-Accept");
    if (!accept || *accept != websocket_accept(key))
        return fail(Error::text("the server's Sec-WebSocket-Accept does not answer the key"));
    return {};
}

}  // namespace tsb::attach
