#include "attach/wire.hpp"

#include <charconv>

#include <modp_b64.h>
#include <nlohmann/json.hpp>

namespace tsb::attach {

namespace {

using nlohmann::json;

std::string notification(std::string_view method, json params) {
    json line{{"jsonrpc", "2.0"}, {"method", method}, {"params", std::move(params)}};
    return line.dump() + "\n";
}

std::optional<std::string> decode_base64(const std::string& text) {
    std::string bytes(modp_b64_decode_len(text.size()), '\0');
    const std::size_t length = modp_b64_decode(bytes.data(), text.data(), text.size());
    if (length == static_cast<std::size_t>(-1)) return std::nullopt;
    bytes.resize(length);
    return bytes;
}

// A closed event gives the shell's status: its exit code, or 128 + N when
// signal N ended it, as shells report a child killed by a signal.
int closed_exit_status(const json& event) {
    if (const auto code = event.find("exit_code"); code != event.end() && code->is_number_integer())
        return code->get<int>();
    if (const auto reason = event.find("reason"); reason != event.end() && reason->is_string()) {
        const std::string& text = reason->get_ref<const std::string&>();
        constexpr std::string_view prefix = "signal:";
        int number = 0;
        if (text.starts_with(prefix)) {
            const auto [end, error] = std::from_chars(text.data() + prefix.size(),
                                                      text.data() + text.size(), number);
            if (error == std::errc{} && end == text.data() + text.size()) return 128 + number;
        }
    }
    return 1;
}

}  // namespace

std::string connect_line(std::optional<WindowSize> size, std::uint32_t flow_window) {
    json params = json::object();
    if (size) {
        params["cols"] = size->cols;
        params["rows"] = size->rows;
    }
    params["flow_window"] = flow_window;
    return notification("terminal.connect", std::move(params));
}

std::string input_line(std::string_view bytes) {
    std::string text(modp_b64_encode_len(bytes.size()), '\0');
    text.resize(modp_b64_encode(text.data(), bytes.data(), bytes.size()));
    return notification("terminal.input", json{{"data_b64", std::move(text)}});
}

std::string resize_line(WindowSize size) {
    return notification("terminal.resize", json{{"cols", size.cols}, {"rows", size.rows}});
}

std::string ack_line(std::uint64_t seq) {
    return notification("terminal.ack", json{{"seq", seq}});
}

std::optional<BrokerEvent> parse_event(std::string_view line) {
    const json event = json::parse(line, nullptr, /*allow_exceptions=*/false);
    if (!event.is_object()) return std::nullopt;
    const auto type = event.find("type");
    if (type == event.end() || !type->is_string()) return std::nullopt;
    const std::string& name = type->get_ref<const std::string&>();

    BrokerEvent parsed;
    if (name == "data") {
        const auto text = event.find("data_b64");
        const auto seq = event.find("seq");
        if (text == event.end() || !text->is_string() || seq == event.end() ||
            !seq->is_number_unsigned())
            return std::nullopt;
        auto bytes = decode_base64(text->get_ref<const std::string&>());
        if (!bytes) return std::nullopt;
        parsed.kind = BrokerEvent::Kind::data;
        parsed.bytes = std::move(*bytes);
        parsed.seq = seq->get<std::uint64_t>();
    } else if (name == "flow_control") {
        const auto window = event.find("window");
        parsed.kind = BrokerEvent::Kind::flow_control;
        parsed.window = window != event.end() && window->is_number_unsigned()
                            ? window->get<std::uint64_t>()
                            : 0;
    } else if (name == "closed") {
        parsed.kind = BrokerEvent::Kind::closed;
        parsed.exit_status = closed_exit_status(event);
    }
    return parsed;
}

}  // namespace tsb::attach
