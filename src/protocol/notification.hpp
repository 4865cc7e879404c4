#pragma once
// The inbound wire format: one JSON-RPC 2.0 notification per line, in the
// object form {"jsonrpc":"2.0","method":...,"params":{...}} or the
// positional form ["2.0", method, params]. Each line becomes at most one
// BrokerCommand; a rejected line gives exactly one diagnostic, which the
// caller writes (or none, for the quiet cases of "terminal.input").

#include <cstdint>
#include <optional>
#include <string_view>

#include <nlohmann/json.hpp>

#include "protocol/command.hpp"
#include "sys/error.hpp"

namespace tsb {

// A command; nothing, for a line that is dropped without a word (an input
// without data); or the one diagnostic that rejects the line.
using ParsedLine = std::expected<std::optional<BrokerCommand>, Diagnostic>;

// `line` is valid UTF-8 without its line ending. Writes nothing anywhere.
ParsedLine parse_notification(std::string_view line);

namespace detail {
// The general reader alone, without the shortcut that takes input lines in
// the usual shape straight from the text; parse_notification gives the same
// command, or the same kind of rejection, for every line.
ParsedLine read_notification(std::string_view line);
}  // namespace detail

// A column or row count from a parameter's JSON value (nullptr when the key
// is absent): an integer 1..65535, or a string read by parse_positive_u16;
// `fallback` for anything else.
std::uint16_t parse_positive_value(const nlohmann::json* value, std::uint16_t fallback);

}  // namespace tsb
