#pragma once
// The other end of the wire, for a client of the broker (the attach
// client): the notification lines a peer writes and the event lines it
// reads back. They are built with the broker's own serializer and read with
// its strict Base64, so what a client sends is what the broker's parser
// takes (input lines in the shape it reads straight from the text), and a
// client rejects what the broker would never write.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "protocol/command.hpp"
#include "sys/error.hpp"

namespace tsb {

// One notification line each, ending with a line feed.
std::string notification_line(const Connect& connect);
std::string notification_line(const Input& input);
std::string notification_line(const Resize& resize);
std::string notification_line(const Ack& ack);
std::string notification_line(const Destroy& destroy);
// terminal.signal with the signal's number: the broker sends it to the shell.
std::string notification_line(const ShellSignal& signal);

// One event line as a peer needs it.
struct PeerEvent {
    enum class Kind { ready, data, pong, flow_control, closed, other };
    Kind kind = Kind::other;
    std::string bytes;              // data: the decoded terminal output
    std::uint64_t seq = 0;          // data, closed
    std::uint64_t ts = 0;           // ready, data, closed: the broker's time, 0 when not given
    std::string shell;              // ready: the shell's program
    std::uint64_t window = 0;       // flow_control
    std::optional<int> exit_code;   // closed: nothing when a signal ended the shell
    std::string reason;             // closed: "exited", "terminated", "signal:N"
};

// Reads one event line (without its line feed) into `event`, whose buffers
// are reused, so relaying output allocates nothing per event. Data lines in
// the shape the broker writes them are read straight from the text. Fails
// for a line that is not a JSON object with a string "type", and for a data
// event without an unsigned "seq" or whose "data_b64" is not strict Base64.
// An event of a type it does not know is Kind::other.
Result<void> parse_event(std::string_view line, PeerEvent& event);

}  // namespace tsb
