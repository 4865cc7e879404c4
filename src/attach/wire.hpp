#pragma once
// The attach client's side of the broker's protocol: the notification lines
// it writes and the event lines it reads.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "attach/terminal_modes.hpp"

namespace tsb::attach {

// The flow-control window the client asks for: enough output in flight to
// keep a fast terminal busy, little enough that ^C after a flood of output
// takes effect soon.
inline constexpr std::uint32_t flow_window_bytes = 262144;

// Every line ends with a line feed.
std::string connect_line(std::optional<WindowSize> size, std::uint32_t flow_window);
std::string input_line(std::string_view bytes);
std::string resize_line(WindowSize size);
std::string ack_line(std::uint64_t seq);

struct BrokerEvent {
    enum class Kind { data, flow_control, closed, other };
    Kind kind = Kind::other;
    std::string bytes;             // data: the decoded terminal output
    std::uint64_t seq = 0;         // data
    std::uint64_t window = 0;      // flow_control
    int exit_status = 0;           // closed: as a shell reports it
};

// One event line (without its line feed). Nothing when it is not an event
// object, or a data event whose Base64 does not decode.
std::optional<BrokerEvent> parse_event(std::string_view line);

}  // namespace tsb::attach
