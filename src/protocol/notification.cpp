#include "protocol/notification.hpp"

#include <signal.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "protocol/base64.hpp"
#include "sys/error.hpp"
#include "text/escape.hpp"
#include "text/json_error.hpp"
#include "text/window_size.hpp"

namespace tsb {
namespace {

using nlohmann::json;

constexpr std::size_t max_depth = 127;

// The envelope as read from the line; absent and null are the same here.
struct JsonRpcNotification {
    std::optional<std::string> jsonrpc;
    std::optional<std::string> method;
    json params = json::object();
};

// The envelope member the next value belongs to.
enum class Slot { jsonrpc, method, params, skipped };

const char* type_name(json::value_t type) {
    switch (type) {
    case json::value_t::null: return "null";
    case json::value_t::boolean: return "a boolean";
    case json::value_t::string: return "a string";
    case json::value_t::array: return "an array";
    case json::value_t::object: return "an object";
    default: return "a number";
    }
}

const char* slot_name(Slot slot) {
    switch (slot) {
    case Slot::jsonrpc: return "\"jsonrpc\"";
    case Slot::method: return "\"method\"";
    default: return "\"params\"";
    }
}

// Reads the envelope strictly while the parser walks the line. The members
// it keeps are built as they arrive; the values of other members are only
// counted through (their depth, never their content), so a skipped value of
// any depth costs neither recursion nor memory.
class EnvelopeReader final : public nlohmann::json_sax<json> {
public:
    JsonRpcNotification envelope;
    std::optional<std::string> failure;  // our own complaint or the parser's
    std::size_t failure_position = 0;    // set only for the parser's

    bool null() override { return scalar(json::value_t::null, json()); }
    bool boolean(bool value) override { return scalar(json::value_t::boolean, json(value)); }
    bool number_integer(number_integer_t value) override {
        return scalar(json::value_t::number_integer, json(value));
    }
    bool number_unsigned(number_unsigned_t value) override {
        return scalar(json::value_t::number_unsigned, json(value));
    }
    bool number_float(number_float_t value, const string_t&) override {
        return scalar(json::value_t::number_float, json(value));
    }
    bool binary(binary_t&) override { return reject("unexpected binary value"); }

    bool string(string_t& value) override {
        if (skip_depth_ > 0) return true;
        if (!building_.empty()) return add(json(std::move(value)));
        if (form_ == Form::none) return reject("expected an object or an array, not a string");
        const std::optional<Slot> slot = next_slot();
        if (!slot) return false;
        switch (*slot) {
        case Slot::jsonrpc: envelope.jsonrpc = std::move(value); return true;
        case Slot::method: envelope.method = std::move(value); return true;
        case Slot::params: return wrong_type(Slot::params, json::value_t::string);
        case Slot::skipped: return true;
        }
        return true;
    }

    bool start_object(std::size_t) override { return open(json::value_t::object); }
    bool start_array(std::size_t) override { return open(json::value_t::array); }
    bool end_object() override { return close(); }
    bool end_array() override { return close(); }

    bool key(string_t& name) override {
        if (skip_depth_ > 0) return true;
        if (!building_.empty()) {
            pending_key_ = std::move(name);
            return true;
        }
        return envelope_key(name);
    }

    bool parse_error(std::size_t position, const std::string&,
                     const nlohmann::detail::exception& error) override {
        failure = json_error_description(error.what());
        failure_position = position;
        return false;
    }

private:
    enum class Form { none, object, positional };

    Form form_ = Form::none;
    std::size_t depth_ = 0;       // containers open in what is read
    std::size_t skip_depth_ = 0;  // containers open inside a skipped value
    std::size_t elements_ = 0;    // positional elements seen so far
    Slot slot_ = Slot::skipped;   // member whose value comes next (object form)
    bool seen_[3] = {false, false, false};
    std::vector<json*> building_;  // open containers inside "params"
    std::string pending_key_;

    bool reject(std::string text) {
        failure = std::move(text);
        return false;
    }

    bool wrong_type(Slot slot, json::value_t type) {
        const char* wanted = slot == Slot::params ? "an object or null" : "a string or null";
        return reject(std::string(slot_name(slot)) + " must be " + wanted + ", not " + type_name(type));
    }

    // Which member the value now arriving fills, or nothing after a
    // complaint. At the top level only an object or an array will do.
    std::optional<Slot> next_slot() {
        if (form_ == Form::object) return slot_;
        if (form_ == Form::positional) {
            if (elements_ == 3) {
                reject("positional envelope with more than 3 elements");
                return std::nullopt;
            }
            return static_cast<Slot>(elements_++);
        }
        return std::nullopt;
    }

    bool envelope_key(const std::string& name) {
        if (name == "jsonrpc") slot_ = Slot::jsonrpc;
        else if (name == "method") slot_ = Slot::method;
        else if (name == "params") slot_ = Slot::params;
        else {
            slot_ = Slot::skipped;
            return true;
        }
        bool& seen = seen_[static_cast<int>(slot_)];
        if (seen) return reject("member " + std::string(slot_name(slot_)) + " given twice");
        seen = true;
        return true;
    }

    bool scalar(json::value_t type, json value) {
        if (skip_depth_ > 0) return true;
        if (!building_.empty()) return add(std::move(value));
        if (form_ == Form::none) {
            return reject(std::string("expected an object or an array, not ") + type_name(type));
        }
        const std::optional<Slot> slot = next_slot();
        if (!slot) return false;
        if (*slot == Slot::skipped || type == json::value_t::null) return true;
        return wrong_type(*slot, type);
    }

    // Places a value in the innermost open container of "params"; a key
    // given twice keeps its last value.
    json& place(json value) {
        json& container = *building_.back();
        if (!container.is_object()) {
            container.push_back(std::move(value));
            return container.back();
        }
        json& slot = container[std::move(pending_key_)];
        slot = std::move(value);
        return slot;
    }

    bool add(json value) {
        place(std::move(value));
        return true;
    }

    bool open(json::value_t type) {
        if (skip_depth_ > 0) {
            ++skip_depth_;
            return true;
        }
        if (depth_ == max_depth) return reject("nesting deeper than 127 levels");
        if (form_ == Form::none) {
            form_ = type == json::value_t::object ? Form::object : Form::positional;
            ++depth_;
            return true;
        }
        if (!building_.empty()) {
            building_.push_back(&place(json(type)));
            ++depth_;
            return true;
        }
        return open_member(type);
    }

    bool open_member(json::value_t type) {
        const std::optional<Slot> slot = next_slot();
        if (!slot) return false;
        if (*slot == Slot::skipped) {
            skip_depth_ = 1;
            return true;
        }
        if (*slot != Slot::params || type != json::value_t::object) return wrong_type(*slot, type);
        building_.push_back(&envelope.params);
        ++depth_;
        return true;
    }

    bool close() {
        if (skip_depth_ > 0) {
            --skip_depth_;
            return true;
        }
        if (!building_.empty()) building_.pop_back();
        --depth_;
        if (depth_ == 0 && form_ == Form::positional && elements_ < 2) {
            return reject("positional envelope with " + std::to_string(elements_) +
                          (elements_ == 1 ? " element" : " elements") + ", not 2 or 3");
        }
        return true;
    }
};

// The envelope of one line, or the description of why it is not one. The
// description may quote the line, so it is escaped to stay one line and cut
// to stay short.
Result<JsonRpcNotification> read_envelope(std::string_view line) {
    // The JSON reader takes a NUL byte for the end of the text and would
    // accept whatever stands after it; the whole line is the text.
    if (const auto nul = line.find('\0'); nul != std::string_view::npos) {
        return fail(Error::text("unexpected NUL byte" + json_error_position(line, nul + 1)));
    }
    EnvelopeReader reader;
    const bool ok = json::sax_parse(line, &reader, json::input_format_t::json, true, false);
    if (ok && !reader.failure) return std::move(reader.envelope);
    return fail(Error::text(json_failure_text(line, reader.failure.value_or("invalid JSON text"),
                                              reader.failure_position)));
}

const json* find_param(const json& params, std::string_view name) {
    const auto it = params.find(name);
    return it == params.end() ? nullptr : &*it;
}

std::optional<std::uint16_t> optional_count(const json& params, std::string_view name,
                                            std::uint16_t fallback) {
    const json* value = find_param(params, name);
    if (value == nullptr) return std::nullopt;
    return parse_positive_value(value, fallback);
}

std::unexpected<Diagnostic> reject(std::string message, std::optional<Error> error = std::nullopt) {
    return std::unexpected(Diagnostic{std::move(message), std::move(error)});
}

ParsedLine input_from_base64(std::string_view text) {
    Result<std::string> bytes = base64_decode(text);
    if (!bytes) return reject("failed to decode input frame", std::move(bytes.error()));
    if (bytes->empty()) return std::nullopt;
    return Input{std::move(*bytes)};
}

ParsedLine input_command(const json& params) {
    const json* data = find_param(params, "data_b64");
    if (data == nullptr || !data->is_string()) return std::nullopt;
    return input_from_base64(data->get_ref<const std::string&>());
}

// The Base64 text of an input line in the shape peers' serializers write,
// members in this order and no blanks; nothing for any other line. Such a
// line is a valid notification whose only value of interest is that text,
// and as long as the text holds no quote, backslash or control byte its JSON
// value is the text itself. Taking it straight from the line spares pasted
// text the general reader, which copies strings one character at a time.
std::optional<std::string_view> canonical_input_text(std::string_view line) {
    constexpr std::string_view head =
        R"({"jsonrpc":"2.0","method":"terminal.input","params":{"data_b64":")";
    constexpr std::string_view tail = R"("}})";
    if (line.size() < head.size() + tail.size() || !line.starts_with(head) ||
        !line.ends_with(tail))
        return std::nullopt;
    const std::string_view text = line.substr(head.size(), line.size() - head.size() - tail.size());
    // No early exit: a loop without one runs over the text in wide vector
    // steps, and a bad byte is rare.
    unsigned char special = 0;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        special |= static_cast<unsigned char>((byte < 0x20) | (byte == '"') | (byte == '\\'));
    }
    if (special != 0) return std::nullopt;
    return text;
}

// The seq of an ack line in the shape peers' serializers write; nothing for
// any other line. A peer with a window sends one per data event, so acks are
// as frequent as output and are spared the general reader too. Only plain
// digits without a leading zero: "0" itself, or 1 to 20 digits that fit.
std::optional<std::uint64_t> canonical_ack_seq(std::string_view line) {
    constexpr std::string_view head = R"({"jsonrpc":"2.0","method":"terminal.ack","params":{"seq":)";
    constexpr std::string_view tail = "}}";
    if (!line.starts_with(head) || !line.ends_with(tail) || line.size() <= head.size() + tail.size())
        return std::nullopt;
    const std::string_view digits = line.substr(head.size(), line.size() - head.size() - tail.size());
    if (digits.size() > 1 && digits.front() == '0') return std::nullopt;
    std::uint64_t seq = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), seq);
    if (error != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
    return seq;
}

BrokerCommand ping_command(json& params) {
    const auto it = params.find("nonce");
    if (it == params.end()) return Ping{};
    return Ping{std::move(*it)};
}

// A non-negative integer no larger than `max`; nothing for anything else
// (fractions and exponents too, even when whole, as for sizes).
std::optional<std::uint64_t> bounded_count(const json& value, std::uint64_t max) {
    if (value.is_number_unsigned()) {
        const auto number = value.get<json::number_unsigned_t>();
        if (number <= max) return number;
    }
    return std::nullopt;
}

// A connect's optional byte count `name`: absent, or an integer from 0 to
// `max`; anything else rejects the whole connect.
std::expected<std::optional<std::uint32_t>, Diagnostic> connect_byte_count(const json& params,
                                                                            const char* name,
                                                                            std::uint32_t max) {
    const json* value = find_param(params, name);
    if (value == nullptr) return std::nullopt;
    const auto bytes = bounded_count(*value, max);
    if (!bytes) {
        return reject("bad terminal.connect: " + std::string(name) + " must be an integer from 0 to " +
                      std::to_string(max));
    }
    return static_cast<std::uint32_t>(*bytes);
}

ParsedLine connect_command(const json& params) {
    Connect connect{optional_count(params, "cols", default_cols),
                    optional_count(params, "rows", default_rows), std::nullopt};
    const auto window = connect_byte_count(params, "flow_window", max_flow_window);
    if (!window) return std::unexpected(window.error());
    const auto merge = connect_byte_count(params, "merge_reads", max_merge_reads);
    if (!merge) return std::unexpected(merge.error());
    connect.flow_window = *window;
    connect.merge_reads = *merge;
    if (const json* raw = find_param(params, "raw_data"); raw != nullptr) {
        if (!raw->is_boolean()) return reject("bad terminal.connect: raw_data must be true or false");
        connect.raw_data = raw->get<bool>();
    }
    return connect;
}

ParsedLine ack_command(const json& params) {
    const json* seq = find_param(params, "seq");
    const auto value = seq != nullptr ? bounded_count(*seq, UINT64_MAX) : std::nullopt;
    if (!value) return reject("bad terminal.ack: seq must be a non-negative integer");
    return Ack{*value};
}

// The usual job-control and termination signals, by name; the names are
// also taken without their "SIG".
constexpr std::array<std::pair<std::string_view, int>, 16> signal_names{{
    {"SIGHUP", SIGHUP},   {"SIGINT", SIGINT},   {"SIGQUIT", SIGQUIT}, {"SIGABRT", SIGABRT},
    {"SIGKILL", SIGKILL}, {"SIGUSR1", SIGUSR1}, {"SIGUSR2", SIGUSR2}, {"SIGPIPE", SIGPIPE},
    {"SIGALRM", SIGALRM}, {"SIGTERM", SIGTERM}, {"SIGCONT", SIGCONT}, {"SIGSTOP", SIGSTOP},
    {"SIGTSTP", SIGTSTP}, {"SIGTTIN", SIGTTIN}, {"SIGTTOU", SIGTTOU}, {"SIGWINCH", SIGWINCH},
}};

std::optional<int> signal_from_name(std::string_view name) {
    for (const auto& [known, number] : signal_names) {
        if (name == known || name == known.substr(3)) return number;
    }
    return std::nullopt;
}

ParsedLine signal_command(const json& params) {
    const json* signal = find_param(params, "signal");
    if (signal != nullptr && signal->is_string()) {
        const auto& name = signal->get_ref<const std::string&>();
        if (const auto number = signal_from_name(name)) return ShellSignal{*number};
        return reject("bad terminal.signal: unknown signal " + escape_peer_text(name));
    }
    const auto number = signal != nullptr ? bounded_count(*signal, SIGRTMAX) : std::nullopt;
    if (!number || *number == 0)
        return reject("bad terminal.signal: signal must be a signal name or a number from 1 to " +
                      std::to_string(SIGRTMAX));
    return ShellSignal{static_cast<int>(*number)};
}

ParsedLine command_for(const std::string& method, json& params) {
    if (method == "terminal.connect") return connect_command(params);
    if (method == "terminal.input") return input_command(params);
    if (method == "terminal.resize") {
        return Resize{parse_positive_value(find_param(params, "cols"), default_cols),
                      parse_positive_value(find_param(params, "rows"), default_rows)};
    }
    if (method == "terminal.ping") return ping_command(params);
    if (method == "terminal.destroy") return Destroy{};
    if (method == "terminal.ack") return ack_command(params);
    if (method == "terminal.signal") return signal_command(params);
    return reject("unsupported JSON-RPC method: " + escape_peer_text(method));
}

}  // namespace

ParsedLine parse_notification(std::string_view line) {
    if (const auto text = canonical_input_text(line)) return input_from_base64(*text);
    if (const auto seq = canonical_ack_seq(line)) return Ack{*seq};
    return detail::read_notification(line);
}

ParsedLine detail::read_notification(std::string_view line) {
    Result<JsonRpcNotification> envelope = read_envelope(line);
    if (!envelope) return reject("bad JSON command", std::move(envelope.error()));
    if (envelope->jsonrpc != "2.0") return reject("unexpected stdin payload without jsonrpc envelope");
    if (!envelope->method || envelope->method->empty()) return reject("stdin payload missing method");
    return command_for(*envelope->method, envelope->params);
}

std::uint16_t parse_positive_value(const nlohmann::json* value, std::uint16_t fallback) {
    if (value == nullptr) return fallback;
    constexpr auto max = std::numeric_limits<std::uint16_t>::max();
    switch (value->type()) {
    case json::value_t::number_unsigned: {
        const auto number = value->get<json::number_unsigned_t>();
        return number >= 1 && number <= max ? static_cast<std::uint16_t>(number) : fallback;
    }
    case json::value_t::number_integer: {
        const auto number = value->get<json::number_integer_t>();
        return number >= 1 && number <= max ? static_cast<std::uint16_t>(number) : fallback;
    }
    case json::value_t::string:
        return parse_positive_u16(value->get_ref<const std::string&>(), fallback);
    default:
        return fallback;  // fractions and exponents too, even when whole
    }
}

}  // namespace tsb
