#pragma once
// The outbound wire format: one compact JSON object per line on standard
// output, keys in ascending byte order at every level, strings escaped only
// where JSON requires it (lower-case hex, "/" and non-ASCII bytes raw), a
// single line feed, each line handed to the descriptor whole.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "sys/error.hpp"

namespace tsb {

// Wall-clock milliseconds since the Unix epoch; 0 if the clock reads
// earlier than the epoch.
std::uint64_t now_ms() noexcept;

nlohmann::json make_ready_event(std::uint64_t ts, int pid, const std::vector<std::string>& shell,
                                const std::string& cwd);
nlohmann::json make_pong_event(const std::optional<nlohmann::json>& nonce);
// Confirms a flow-control window asked for by terminal.connect (0: off).
nlohmann::json make_flow_control_event(std::uint32_t window);
// `exit_code` is nothing when a signal ended the shell.
nlohmann::json make_closed_event(std::uint64_t seq, std::uint64_t ts,
                                 std::optional<int> exit_code, std::string_view reason);

// Appends the compact serialization of `value` to `out`. A non-integer is
// written with the fewest significant digits that read back as the same
// double and always as a non-integer ("1.0", "1e+300"). Bytes of a string
// that are not UTF-8 come out as U+FFFD. Throws only when out of memory.
void serialize_json(const nlohmann::json& value, std::string& out);

// The writer of standard output. Lines are written as far as the descriptor
// takes them; what a non-blocking descriptor cannot take yet waits here, in
// order, until flush() finds room. A blocking descriptor takes every line
// whole. One line buffer is reused for every event, so relaying output
// allocates nothing per event while the peer keeps up.
class EventWriter {
public:
    explicit EventWriter(int fd);

    // Serializes `value` and appends one line feed; written with one system
    // call when nothing waits and the descriptor accepts it whole.
    Result<void> write_json_line(const nlohmann::json& value);

    // {"data_b64":"...","seq":N,"ts":T,"type":"data"}: the Base64 text is
    // encoded straight into the line buffer.
    Result<void> write_data_event(std::uint64_t seq, std::uint64_t ts, std::span<const char> bytes);
    // {"bytes":N,"seq":N,"ts":T,"type":"data"} and its line feed, then the
    // N bytes themselves: no encoding, and a quarter fewer bytes on the wire.
    Result<void> write_raw_data_event(std::uint64_t seq, std::uint64_t ts,
                                      std::span<const char> bytes);

    // Bytes of event lines that wait for room.
    std::size_t pending() const noexcept { return waiting_.size() - waiting_offset_; }
    // Writes what waits as far as the descriptor takes it now.
    Result<void> flush();
    // Writes what waits, waiting for room as long as it takes.
    Result<void> flush_all();

    int fd() const noexcept { return fd_; }

private:
    Result<void> send_line();

    int fd_;
    std::string line_;
    std::string waiting_;
    std::size_t waiting_offset_ = 0;
};

}  // namespace tsb
