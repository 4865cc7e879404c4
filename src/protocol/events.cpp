#include "protocol/events.hpp"

#include <time.h>

#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <exception>

#include "protocol/base64.hpp"
#include "sys/io.hpp"
#include "text/escape.hpp"
#include "text/utf8.hpp"

namespace tsb {

namespace {

using Json = nlohmann::json;

// The fixed text around the Base64 payload of a data line. Keys are in
// ascending byte order, as the generic serializer would put them.
constexpr std::string_view data_head = R"({"data_b64":")";
constexpr std::string_view data_seq = R"(","seq":)";
constexpr std::string_view data_ts = R"(,"ts":)";
constexpr std::string_view data_tail = R"(,"type":"data"})"
                                       "\n";

// Everything after the Base64 text: room for two 20-digit numbers.
using TailBuffer = std::array<char, data_seq.size() + data_ts.size() + data_tail.size() + 40>;

char* append(char* out, std::string_view text) noexcept {
    std::memcpy(out, text.data(), text.size());
    return out + text.size();
}

std::size_t format_data_tail(TailBuffer& tail, std::uint64_t seq, std::uint64_t ts) noexcept {
    // Each number may use at most the room left before the fixed text that
    // follows it, which keeps every copy provably inside the buffer.
    char* const end = tail.data() + tail.size();
    char* out = append(tail.data(), data_seq);
    out = std::to_chars(out, end - data_ts.size() - data_tail.size() - 20, seq).ptr;
    out = append(out, data_ts);
    out = std::to_chars(out, end - data_tail.size(), ts).ptr;
    out = append(out, data_tail);
    return static_cast<std::size_t>(out - tail.data());
}

// A JSON string. Bytes that are not UTF-8 (a working directory or an
// argument from a foreign locale) each become U+FFFD, so the line stays
// valid JSON.
void append_string(std::string& out, std::string_view text) {
    out.push_back('"');
    while (true) {
        const std::optional<std::size_t> invalid = find_invalid_utf8(text);
        append_escaped(out, text.substr(0, invalid.value_or(text.size())), EscapeFor::json_string);
        if (!invalid) break;
        out.append("\xEF\xBF\xBD");
        text.remove_prefix(*invalid + 1);
    }
    out.push_back('"');
}

template <typename Integer>
void append_number(std::string& out, Integer number) {
    char buffer[24];
    out.append(buffer, std::to_chars(buffer, buffer + sizeof buffer, number).ptr);
}

// Significant digits of a decimal number text, ignoring the sign, the
// point, the exponent and leading and trailing zeros.
std::size_t significant_digits(std::string_view text) noexcept {
    constexpr std::size_t none = std::string_view::npos;
    std::size_t digits = 0;
    std::size_t first = none;
    std::size_t last = 0;
    for (const char ch : text.substr(0, text.find('e'))) {
        if (ch < '0' || ch > '9') continue;
        if (ch != '0') {
            if (first == none) first = digits;
            last = digits;
        }
        ++digits;
    }
    return first == none ? 1 : last - first + 1;
}

// The fewest significant digits that read back as the same double. Plain
// notation is kept while it is as precise as that; a large whole number
// whose plain form would spell out digits beyond the double's precision
// (53165205877497296 for 5.31652058774973e+16) is written with an
// exponent instead. A value that came in as a non-integer must go out as
// one, so "1.0" keeps its ".0" rather than turning into the integer 1.
void append_float(std::string& out, double number) {
    if (!std::isfinite(number)) {  // JSON has no spelling for these
        out.append("null");
        return;
    }
    char plain_buffer[40];
    char exponent_buffer[40];
    const std::string_view plain(
        plain_buffer, std::to_chars(plain_buffer, plain_buffer + sizeof plain_buffer, number).ptr);
    const std::string_view with_exponent(
        exponent_buffer, std::to_chars(exponent_buffer, exponent_buffer + sizeof exponent_buffer,
                                       number, std::chars_format::scientific)
                             .ptr);
    const std::string_view text =
        significant_digits(plain) > significant_digits(with_exponent) ? with_exponent : plain;
    out.append(text);
    if (text.find_first_of(".e") == std::string_view::npos) out.append(".0");
}

}  // namespace

std::uint64_t now_ms() noexcept {
    timespec now{};
    if (::clock_gettime(CLOCK_REALTIME, &now) != 0 || now.tv_sec < 0) return 0;
    return static_cast<std::uint64_t>(now.tv_sec) * 1000 +
           static_cast<std::uint64_t>(now.tv_nsec) / 1'000'000;
}

Json make_ready_event(std::uint64_t ts, int pid, const std::vector<std::string>& shell,
                      const std::string& cwd) {
    Json event = Json::object();
    event["cwd"] = cwd;
    event["pid"] = pid;
    event["shell"] = shell;
    event["ts"] = ts;
    event["type"] = "ready";
    return event;
}

Json make_pong_event(const std::optional<Json>& nonce) {
    Json event = Json::object();
    event["nonce"] = nonce.value_or(Json(nullptr));
    event["type"] = "pong";
    return event;
}

Json make_flow_control_event(std::uint32_t window) {
    Json event = Json::object();
    event["type"] = "flow_control";
    event["window"] = window;
    return event;
}

Json make_closed_event(std::uint64_t seq, std::uint64_t ts, std::optional<int> exit_code,
                       std::string_view reason) {
    Json event = Json::object();
    event["exit_code"] = exit_code ? Json(*exit_code) : Json(nullptr);
    event["reason"] = std::string(reason);
    event["seq"] = seq;
    event["ts"] = ts;
    event["type"] = "closed";
    return event;
}

void serialize_json(const Json& value, std::string& out) {
    switch (value.type()) {
    case Json::value_t::object: {
        out.push_back('{');
        bool first = true;
        // The object map is a std::map, ordered by the bytes of the keys.
        for (const auto& [key, member] : value.get_ref<const Json::object_t&>()) {
            if (!first) out.push_back(',');
            first = false;
            append_string(out, key);
            out.push_back(':');
            serialize_json(member, out);
        }
        out.push_back('}');
        return;
    }
    case Json::value_t::array: {
        out.push_back('[');
        bool first = true;
        for (const Json& element : value) {
            if (!first) out.push_back(',');
            first = false;
            serialize_json(element, out);
        }
        out.push_back(']');
        return;
    }
    case Json::value_t::string: append_string(out, value.get_ref<const std::string&>()); return;
    case Json::value_t::boolean: out.append(value.get<bool>() ? "true" : "false"); return;
    case Json::value_t::number_integer: append_number(out, value.get<std::int64_t>()); return;
    case Json::value_t::number_unsigned: append_number(out, value.get<std::uint64_t>()); return;
    case Json::value_t::number_float: append_float(out, value.get<double>()); return;
    case Json::value_t::null:
    case Json::value_t::binary:     // never produced by parsing JSON text
    case Json::value_t::discarded:  // likewise
        out.append("null");
        return;
    }
}

EventWriter::EventWriter(int fd) : fd_(fd) {}

Result<void> EventWriter::write_json_line(const Json& value) {
    line_.clear();
    try {
        serialize_json(value, line_);
        line_.push_back('\n');
    } catch (const std::exception& error) {
        // Only running out of memory gets here; the run cannot go on.
        return fail(Error::text(std::string("failed to serialize event: ") + error.what()));
    }
    return send_line();
}

Result<void> EventWriter::write_data_event(std::uint64_t seq, std::uint64_t ts,
                                           std::span<const char> bytes) {
    TailBuffer tail;
    const std::size_t tail_size = format_data_tail(tail, seq, ts);
    const std::size_t encoded_size = base64_encoded_size(bytes.size());
    const std::size_t total = data_head.size() + encoded_size + tail_size;
    try {
        // The buffer keeps its capacity between events, so once it has grown
        // to the largest line this neither allocates nor zero-fills. The
        // encoder's terminating NUL lands where the tail is copied next.
        line_.resize_and_overwrite(total, [&](char* out, std::size_t) noexcept {
            char* cursor = append(out, data_head);
            base64_encode_into(bytes, cursor);
            cursor += encoded_size;
            std::memcpy(cursor, tail.data(), tail_size);
            return total;
        });
    } catch (const std::exception& error) {
        return fail(Error::text(std::string("failed to build data event: ") + error.what()));
    }
    return send_line();
}

Result<void> EventWriter::write_raw_data_event(std::uint64_t seq, std::uint64_t ts,
                                               std::span<const char> bytes) {
    // The line is the Base64 line's tail with the count in front instead of
    // the text: {"bytes":N then ,"seq":... (the tail's closing quote left out).
    TailBuffer tail;
    const std::size_t tail_size = format_data_tail(tail, seq, ts);
    line_.clear();  // keeps its capacity: no allocation per event
    try {
        line_.append(R"({"bytes":)");
        append_number(line_, bytes.size());
        line_.append(tail.data() + 1, tail_size - 1);
        line_.append(bytes.data(), bytes.size());
    } catch (const std::exception& error) {
        return fail(Error::text(std::string("failed to build data event: ") + error.what()));
    }
    return send_line();
}

Result<void> EventWriter::send_line() {
    if (pending() == 0) {
        Result<std::size_t> written = write_some(fd_, line_);
        if (!written) return fail(std::move(written.error()));
        if (*written == line_.size()) return {};
        waiting_.clear();
        waiting_offset_ = 0;
        waiting_.append(std::string_view(line_).substr(*written));
        return {};
    }
    try {
        waiting_.append(line_);
    } catch (const std::exception& error) {
        return fail(Error::text(std::string("failed to queue event: ") + error.what()));
    }
    return flush();
}

Result<void> EventWriter::flush() {
    Result<std::size_t> written = write_some(fd_, std::string_view(waiting_).substr(waiting_offset_));
    if (!written) return fail(std::move(written.error()));
    waiting_offset_ += *written;
    if (waiting_offset_ == waiting_.size()) {
        waiting_.clear();
        waiting_offset_ = 0;
    } else if (waiting_offset_ > waiting_.size() / 2) {
        waiting_.erase(0, waiting_offset_);
        waiting_offset_ = 0;
    }
    return {};
}

Result<void> EventWriter::flush_all() {
    if (auto written = write_all(fd_, std::string_view(waiting_).substr(waiting_offset_)); !written)
        return written;
    waiting_.clear();
    waiting_offset_ = 0;
    return {};
}

}  // namespace tsb
