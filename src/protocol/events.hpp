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
// `exit_code` is nothing when a signal ended the shell.
nlohmann::json make_closed_event(std::uint64_t seq, std::uint64_t ts,
                                 std::optional<int> exit_code, std::string_view reason);
// The data event as a value; the main loop writes data events through
// EventWriter::write_data_event instead, which produces the same bytes.
nlohmann::json make_data_event(std::uint64_t seq, std::uint64_t ts, std::string_view bytes);

// Appends the compact serialization of `value` to `out`. A non-integer is
// written with the fewest significant digits that read back as the same
// double and always as a non-integer ("1.0", "1e+300"). Bytes of a string
// that are not UTF-8 come out as U+FFFD. Throws only when out of memory.
void serialize_json(const nlohmann::json& value, std::string& out);

// Writes all of `bytes` to `fd`, resuming after partial writes and EINTR,
// and waiting for room when the descriptor is non-blocking and full.
Result<void> write_all(int fd, std::string_view bytes);

// The writer of standard output. It owns one line buffer, reused for every
// event, so relaying output allocates nothing per event.
class EventWriter {
public:
    explicit EventWriter(int fd);

    // Serializes `value`, appends one line feed and writes the line with one
    // system call where the descriptor accepts it whole.
    Result<void> write_json_line(const nlohmann::json& value);

    // {"data_b64":"...","seq":N,"ts":T,"type":"data"}: the Base64 text is
    // encoded straight into the line buffer.
    Result<void> write_data_event(std::uint64_t seq, std::uint64_t ts, std::span<const char> bytes);

private:
    int fd_;
    std::string line_;
};

}  // namespace tsb
