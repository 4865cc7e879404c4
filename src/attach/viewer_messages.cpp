#include "attach/viewer_messages.hpp"

#include <charconv>
#include <limits>

#include <nlohmann/json.hpp>

#include "text/utf8.hpp"

namespace tsb::attach {

namespace {

using Json = nlohmann::json;
using Kind = ViewerMessage::Kind;

std::optional<ViewerMessage> parse_output(std::string_view text) {
    const std::size_t colon = text.find(':');
    if (colon == std::string_view::npos || colon == 0) return std::nullopt;
    ViewerMessage message{.kind = Kind::output};
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

std::optional<ViewerMessage> parse_object(const Json& object) {
    const std::string type = string_of(object, "type");
    ViewerMessage message;
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
    }
    return message;
}

}  // namespace

std::optional<ViewerMessage> parse_viewer_message(std::string_view text) {
    if (!text.starts_with('{')) return parse_output(text);
    const Json object = Json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (!object.is_object()) return std::nullopt;
    return parse_object(object);
}

std::string ack_message(std::uint64_t seq) {
    return R"({"type":"ack","seq":)" + std::to_string(seq) + "}";
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
