#include "attach/server_address.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <optional>

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
std::expected<void, std::string> read_authority(std::string_view text, ServerAddress& link) {
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

bool base64url(std::string_view value) {
    return !value.empty() && std::ranges::all_of(value, [](unsigned char c) {
        return std::isalnum(c) != 0 || c == '-' || c == '_';
    });
}

// The value of NAME= in the query, if it has one.
std::optional<std::string_view> query_value(std::string_view query, std::string_view name) {
    while (!query.empty()) {
        const std::size_t amp = query.find('&');
        const std::string_view pair = query.substr(0, amp);
        if (pair.size() > name.size() && pair.starts_with(name) && pair[name.size()] == '=')
            return pair.substr(name.size() + 1);
        query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
    }
    return std::nullopt;
}

// Where the server is, and the address's query.
std::expected<std::string_view, std::string> read_address(std::string_view text, ServerAddress& server) {
    if (starts_with_nocase(text, "https://")) {
        server.secure = true;
        text.remove_prefix(8);
    } else if (starts_with_nocase(text, "http://")) {
        text.remove_prefix(7);
    } else {
        return std::unexpected("it does not start with http:// or https://");
    }
    if (const std::size_t hash = text.find('#'); hash != std::string_view::npos) text = text.substr(0, hash);
    const std::size_t end = std::min(text.find('/'), text.find('?'));
    if (auto read = read_authority(text.substr(0, end), server); !read) return std::unexpected(read.error());
    const std::size_t question = text.find('?');
    return question == std::string_view::npos ? std::string_view() : text.substr(question + 1);
}

// A name the person typed, as a query value: everything but the unreserved characters escaped.
std::string percent_encoded(std::string_view text) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (std::isalnum(byte) != 0 || c == '-' || c == '_' || c == '.' || c == '~') {
            out += c;
        } else {
            out += '%';
            out += hex[byte >> 4];
            out += hex[byte & 0xF];
        }
    }
    return out;
}

}  // namespace

std::string ServerAddress::origin() const { return (secure ? "https://" : "http://") + authority; }

std::string ShareLink::socket_target() const { return "/terminal?share=" + capability; }

std::string ServerPage::socket_target(std::uint16_t cols, std::uint16_t rows, std::string_view target,
                                      std::string_view resume) const {
    std::string query = "/terminal?token=" + token + "&cols=" + std::to_string(cols) + "&rows=" + std::to_string(rows);
    if (!target.empty()) query += "&target=" + percent_encoded(target);
    if (!resume.empty()) query += "&session=" + percent_encoded(resume);
    return query;
}

std::expected<ShareLink, std::string> parse_share_link(std::string_view text) {
    auto refuse = [text](const std::string& why) {
        return std::unexpected("not a share link (" + why + "): " + std::string(text));
    };
    ShareLink link;
    const auto query = read_address(text, link.server);
    if (!query) return refuse(query.error());
    // The server makes it base64url, so anything else is not a capability
    // (and could not go into a request line).
    const auto capability = query_value(*query, "share");
    if (!capability) return refuse("it has no share= capability: is it a share link?");
    if (!base64url(*capability)) return refuse("its share= value is not a capability");
    link.capability = *capability;
    return link;
}

std::expected<ServerPage, std::string> parse_server_page(std::string_view text) {
    auto refuse = [text](const std::string& why) {
        return std::unexpected("not the server's page address (" + why + "): " + std::string(text));
    };
    ServerPage page;
    const auto query = read_address(text, page.server);
    if (!query) return refuse(query.error());
    const auto token = query_value(*query, "token");
    if (!token) return refuse("it has no token=: the server prints its address with one");
    if (!base64url(*token)) return refuse("its token= value is not one the server makes");
    page.token = *token;
    return page;
}

}  // namespace tsb::attach
