#include "attach/server_messages.hpp"

#include <charconv>
#include <limits>

#include <nlohmann/json.hpp>

#include "text/utf8.hpp"

namespace tsb::attach {

namespace {

using Json = nlohmann::json;
using Kind = ServerMessage::Kind;

std::optional<ServerMessage> parse_output(std::string_view text) {
    const std::size_t colon = text.find(':');
    if (colon == std::string_view::npos || colon == 0) return std::nullopt;
    ServerMessage message{.kind = Kind::output};
    const auto [end, error] = std::from_chars(text.data(), text.data() + colon, message.seq);
    if (error != std::errc{} || end != text.data() + colon) return std::nullopt;
    message.data = text.substr(colon + 1);
    return message;
}

std::string string_of(const Json& object, const char* name) {
    const auto found = object.find(name);
    return found != object.end() && found->is_string() ? found->get<std::string>() : std::string();
}

template <typename Number>
std::optional<Number> number_of(const Json& object, const char* name) {
    const auto found = object.find(name);
    if (found == object.end() || !found->is_number_integer()) return std::nullopt;
    const auto value = found->get<std::int64_t>();
    if (value < 0 || static_cast<std::uint64_t>(value) > std::numeric_limits<Number>::max()) return std::nullopt;
    return static_cast<Number>(value);
}

// The status a shell's end gives, as the attach client reports a local one.
int exit_status_of(const Json& object) {
    const int signal = number_of<std::uint8_t>(object, "signal").value_or(0);
    if (signal > 0) return 128 + signal;
    return number_of<std::uint8_t>(object, "exitCode").value_or(1);
}

std::vector<SessionLink> links_of(const Json& object) {
    std::vector<SessionLink> links;
    const auto found = object.find("links");
    if (found == object.end() || !found->is_array()) return links;
    for (const Json& link : *found)
        if (link.is_object())
            links.push_back({string_of(link, "id"), string_of(link, "mode"), string_of(link, "capability")});
    return links;
}

// A page connected through a link is told apart by the link and when it came.
std::vector<std::string> viewers_of(const Json& object) {
    std::vector<std::string> viewers;
    const auto found = object.find("viewers");
    if (found == object.end() || !found->is_array()) return viewers;
    for (const Json& viewer : *found)
        if (viewer.is_object()) viewers.push_back(string_of(viewer, "link") + "@" + viewer.value("since", Json()).dump());
    return viewers;
}

std::optional<ServerMessage> parse_owner_object(const std::string& type, const Json& object) {
    if (type == "session") {
        const auto resumed = object.find("resumed");
        return ServerMessage{.kind = Kind::session, .text = string_of(object, "id"),
                             .resumed = resumed != object.end() && resumed->is_boolean() && resumed->get<bool>(),
                             .note = string_of(object, "note")};
    }
    if (type == "sharing")
        return ServerMessage{.kind = Kind::sharing, .links = links_of(object), .viewers = viewers_of(object)};
    if (type == "taken-over") return ServerMessage{.kind = Kind::taken_over};
    return ServerMessage{};
}

std::optional<ServerMessage> parse_object(const Json& object) {
    const std::string type = string_of(object, "type");
    ServerMessage message;
    if (type == "snapshot") {
        const auto seq = number_of<std::uint64_t>(object, "seq");
        if (!seq || !object.contains("data") || !object["data"].is_string()) return std::nullopt;
        message = {.kind = Kind::snapshot, .seq = *seq, .data = string_of(object, "data")};
    } else if (type == "watching" || type == "size") {
        const auto cols = number_of<std::uint16_t>(object, "cols"), rows = number_of<std::uint16_t>(object, "rows");
        if (!cols || !rows) return std::nullopt;
        message = {.kind = type == "size" ? Kind::size : Kind::watching, .mode = string_of(object, "mode"),
                   .owner = string_of(object, "owner"), .target = string_of(object, "target"),
                   .cols = *cols, .rows = *rows};
    } else if (type == "share-ended") {
        message = {.kind = Kind::share_ended, .text = string_of(object, "reason")};
    } else if (type == "error") {
        message = {.kind = Kind::error, .text = string_of(object, "message")};
    } else if (type == "exit") {
        message = {.kind = Kind::exit, .exit_status = exit_status_of(object)};
    } else {
        return parse_owner_object(type, object);
    }
    return message;
}

}  // namespace

std::optional<ServerMessage> parse_server_message(std::string_view text) {
    if (!text.starts_with('{')) return parse_output(text);
    const Json object = Json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (!object.is_object()) return std::nullopt;
    return parse_object(object);
}

std::string ack_message(std::uint64_t seq) {
    return R"({"type":"ack","seq":)" + std::to_string(seq) + "}";
}

std::string resize_message(std::uint16_t cols, std::uint16_t rows) {
    return R"({"type":"resize","cols":)" + std::to_string(cols) + R"(,"rows":)" + std::to_string(rows) + "}";
}

std::string share_message(std::string_view mode, std::string_view label) {
    Json message = {{"type", "share"}, {"mode", mode}};
    // A login name that is not UTF-8 would not make a JSON text: then none.
    if (!label.empty() && is_valid_utf8(label)) message["label"] = label;
    return message.dump();
}

std::string input_message(std::string_view keys) {
    Json message = {{"type", "input"}};
    if (is_valid_utf8(keys)) {
        message["data"] = std::string(keys);
    } else {
        std::string latin1;
        for (const char c : keys) {
            const auto byte = static_cast<unsigned char>(c);
            if (byte < 0x80) {
                latin1.push_back(c);
            } else {
                latin1.push_back(static_cast<char>(0xC0 | byte >> 6));
                latin1.push_back(static_cast<char>(0x80 | (byte & 0x3F)));
            }
        }
        message["data"] = std::move(latin1);
        message["binary"] = true;
    }
    return message.dump();
}

}  // namespace tsb::attach
