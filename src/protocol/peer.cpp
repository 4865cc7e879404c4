#include "protocol/peer.hpp"

#include <charconv>

#include <nlohmann/json.hpp>

#include "protocol/base64.hpp"
#include "protocol/events.hpp"

namespace tsb {
namespace {

using Json = nlohmann::json;

std::string line_for(std::string_view method, Json params) {
    const Json line{{"jsonrpc", "2.0"}, {"method", method}, {"params", std::move(params)}};
    std::string out;
    serialize_json(line, out);
    out.push_back('\n');
    return out;
}

// An unsigned decimal number that fills `text`.
std::optional<std::uint64_t> whole_number(std::string_view text) {
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size() || text.empty()) return std::nullopt;
    return value;
}

// A data line exactly as the broker writes it,
// {"data_b64":"...","seq":N,"ts":T,"type":"data"}: read straight from the
// text, as the general reader would copy the Base64 a character at a time.
// False for any other line (which the general reader then takes).
bool read_data_shortcut(std::string_view line, PeerEvent& event, Result<void>& decoded) {
    constexpr std::string_view head = R"({"data_b64":")";
    constexpr std::string_view seq_key = R"(","seq":)";
    constexpr std::string_view ts_key = R"(,"ts":)";
    constexpr std::string_view tail = R"(,"type":"data"})";
    if (!line.starts_with(head) || !line.ends_with(tail)) return false;
    line.remove_prefix(head.size());
    line.remove_suffix(tail.size());
    const std::size_t text_end = line.find('"');
    if (text_end == std::string_view::npos) return false;
    const std::string_view text = line.substr(0, text_end);
    std::string_view numbers = line.substr(text_end);
    if (!numbers.starts_with(seq_key)) return false;
    numbers.remove_prefix(seq_key.size());
    const std::size_t ts_at = numbers.find(ts_key);
    if (ts_at == std::string_view::npos) return false;
    const auto seq = whole_number(numbers.substr(0, ts_at));
    const auto ts = whole_number(numbers.substr(ts_at + ts_key.size()));
    if (!seq || !ts) return false;
    // Base64 has no quote, backslash or control byte, so the JSON value is
    // the text itself; anything else is refused by the decoder.
    event.kind = PeerEvent::Kind::data;
    event.seq = *seq;
    event.ts = *ts;
    decoded = base64_decode_into(text, event.bytes);
    return true;
}

Result<void> read_data(const Json& line, PeerEvent& event) {
    const auto text = line.find("data_b64");
    const auto seq = line.find("seq");
    if (text == line.end() || !text->is_string())
        return fail(Error::text("data event without a data_b64 string"));
    if (seq == line.end() || !seq->is_number_unsigned())
        return fail(Error::text("data event without an unsigned seq"));
    event.seq = seq->get<std::uint64_t>();
    return base64_decode_into(text->get_ref<const std::string&>(), event.bytes);
}

void read_ready(const Json& line, PeerEvent& event) {
    const auto shell = line.find("shell");
    if (shell != line.end() && shell->is_array() && !shell->empty() && shell->front().is_string())
        event.shell = shell->front().get<std::string>();
}

void read_closed(const Json& line, PeerEvent& event) {
    const auto code = line.find("exit_code");
    if (code != line.end() && code->is_number_integer()) event.exit_code = code->get<int>();
    const auto reason = line.find("reason");
    if (reason != line.end() && reason->is_string()) event.reason = reason->get<std::string>();
    const auto seq = line.find("seq");
    if (seq != line.end() && seq->is_number_unsigned()) event.seq = seq->get<std::uint64_t>();
}

PeerEvent::Kind kind_named(std::string_view type) {
    using Kind = PeerEvent::Kind;
    if (type == "data") return Kind::data;
    if (type == "ready") return Kind::ready;
    if (type == "pong") return Kind::pong;
    if (type == "flow_control") return Kind::flow_control;
    if (type == "closed") return Kind::closed;
    return Kind::other;
}

}  // namespace

std::string notification_line(const Connect& connect) {
    Json params = Json::object();
    if (connect.cols) params["cols"] = *connect.cols;
    if (connect.rows) params["rows"] = *connect.rows;
    if (connect.flow_window) params["flow_window"] = *connect.flow_window;
    if (connect.merge_reads) params["merge_reads"] = *connect.merge_reads;
    if (connect.raw_data) params["raw_data"] = *connect.raw_data;
    return line_for("terminal.connect", std::move(params));
}

std::string notification_line(const Input& input) {
    return line_for("terminal.input", Json{{"data_b64", base64_encode(input.data)}});
}

std::string notification_line(const Resize& resize) {
    return line_for("terminal.resize", Json{{"cols", resize.cols}, {"rows", resize.rows}});
}

std::string notification_line(const Ack& ack) {
    return line_for("terminal.ack", Json{{"seq", ack.seq}});
}

std::string notification_line(const Destroy&) { return line_for("terminal.destroy", Json::object()); }

std::string notification_line(const ShellSignal& signal) {
    return line_for("terminal.signal", Json{{"signal", signal.number}});
}

Result<void> parse_event(std::string_view line, PeerEvent& event) {
    event.exit_code.reset();
    event.reason.clear();
    event.shell.clear();
    event.ts = 0;
    if (Result<void> decoded; read_data_shortcut(line, event, decoded)) return decoded;

    const Json parsed = Json::parse(line, nullptr, /*allow_exceptions=*/false);
    if (!parsed.is_object()) return fail(Error::text("not a JSON object"));
    const auto type = parsed.find("type");
    if (type == parsed.end() || !type->is_string()) return fail(Error::text("no type"));
    event.kind = kind_named(type->get_ref<const std::string&>());
    const auto ts = parsed.find("ts");
    if (ts != parsed.end() && ts->is_number_unsigned()) event.ts = ts->get<std::uint64_t>();
    switch (event.kind) {
    case PeerEvent::Kind::ready: read_ready(parsed, event); break;
    case PeerEvent::Kind::data: return read_data(parsed, event);
    case PeerEvent::Kind::flow_control: {
        const auto window = parsed.find("window");
        event.window = window != parsed.end() && window->is_number_unsigned()
                           ? window->get<std::uint64_t>()
                           : 0;
        break;
    }
    case PeerEvent::Kind::closed: read_closed(parsed, event); break;
    default: break;
    }
    return {};
}

}  // namespace tsb
