#include "attach/share_link.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace tsb::attach {

namespace {

bool starts_with_nocase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() &&
           std::equal(prefix.begin(), prefix.end(), text.begin(),
                      [](char wanted, char c) { return std::tolower(static_cast<unsigned char>(c)) == wanted; });
}

std::string lower(std::string_view text) {
    std::string out(text);
    std::ranges::transform(out, out.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

// A host name's characters; anything else (a user name, spaces, a second
// colon) has no place in the address of a server.
bool valid_name(std::string_view name) {
    return !name.empty() && std::ranges::all_of(name, [](unsigned char c) {
        return std::isalnum(c) != 0 || c == '-' || c == '.' || c == '_';
    });
}

bool valid_ipv6(std::string_view address) {
    return !address.empty() && std::ranges::all_of(address, [](unsigned char c) {
        return std::isxdigit(c) != 0 || c == ':' || c == '.';
    });
}

bool valid_port(std::string_view port) {
    unsigned value = 0;
    const auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), value);
    return error == std::errc{} && end == port.data() + port.size() && value >= 1 && value <= 65535;
}

// Fills host, port and authority from HOST[:PORT] or [IPV6][:PORT].
std::expected<void, std::string> read_authority(std::string_view text, ShareLink& link) {
    std::string_view host = text, port;
    if (text.starts_with('[')) {
        const std::size_t close = text.find(']');
        if (close == std::string_view::npos) return std::unexpected("its IPv6 address has no closing ]");
        host = text.substr(1, close - 1);
        const std::string_view rest = text.substr(close + 1);
        if (!rest.empty() && !rest.starts_with(':')) return std::unexpected("it has something after its IPv6 address");
        if (!rest.empty()) port = rest.substr(1);
        if (!valid_ipv6(host)) return std::unexpected("its IPv6 address is not one");
    } else {
        const std::size_t colon = text.rfind(':');
        if (colon != std::string_view::npos) {
            host = text.substr(0, colon);
            port = text.substr(colon + 1);
        }
        if (!valid_name(host)) return std::unexpected("it has no valid host name");
    }
    const std::string_view fallback = link.secure ? "443" : "80";
    if (!port.empty() && !valid_port(port)) return std::unexpected("its port is not a number from 1 to 65535");
    link.host = lower(host);
    link.port = port.empty() ? fallback : port;
    const std::string bracketed = text.starts_with('[') ? "[" + link.host + "]" : link.host;
    link.authority = port.empty() || port == fallback ? bracketed : bracketed + ":" + std::string(port);
    return {};
}

// The value of share= in the query; the server makes it base64url, so
// anything else is not a capability (and could not go into a request line).
std::expected<std::string, std::string> read_capability(std::string_view query) {
    while (!query.empty()) {
        const std::size_t amp = query.find('&');
        const std::string_view pair = query.substr(0, amp);
        if (pair.starts_with("share=")) {
            const std::string_view value = pair.substr(6);
            const bool base64url = !value.empty() && std::ranges::all_of(value, [](unsigned char c) {
                return std::isalnum(c) != 0 || c == '-' || c == '_';
            });
            if (!base64url) return std::unexpected("its share= value is not a capability");
            return std::string(value);
        }
        query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
    }
    return std::unexpected("it has no share= capability: is it a share link?");
}

}  // namespace

std::string ShareLink::origin() const { return (secure ? "https://" : "http://") + authority; }

std::string ShareLink::socket_target() const { return "/terminal?share=" + capability; }

std::expected<ShareLink, std::string> parse_share_link(std::string_view text) {
    ShareLink link;
    auto refuse = [text](const std::string& why) {
        return std::unexpected("not a share link (" + why + "): " + std::string(text));
    };
    if (starts_with_nocase(text, "https://")) {
        link.secure = true;
        text.remove_prefix(8);
    } else if (starts_with_nocase(text, "http://")) {
        text.remove_prefix(7);
    } else {
        return refuse("it does not start with http:// or https://");
    }
    if (const std::size_t hash = text.find('#'); hash != std::string_view::npos) text = text.substr(0, hash);
    const std::size_t end = std::min(text.find('/'), text.find('?'));
    if (auto read = read_authority(text.substr(0, end), link); !read) return refuse(read.error());
    const std::size_t question = text.find('?');
    auto capability = read_capability(question == std::string_view::npos ? "" : text.substr(question + 1));
    if (!capability) return refuse(capability.error());
    link.capability = std::move(*capability);
    return link;
}

}  // namespace tsb::attach
