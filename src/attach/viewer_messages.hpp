#pragma once
// What the browser terminal's server says to a page that joined a session
// through a share link, and what such a page says back. Output comes as a
// text message of its own, "SEQ:DATA" (the decimal seq, a colon, the
// output as it is); everything else is a JSON object with a "type".

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tsb::attach {

struct ViewerMessage {
    enum class Kind {
        output,       // seq, data
        snapshot,     // seq, data: the screen as it is, standing for every output up to seq
        watching,     // mode, owner, target, cols, rows: what the link grants
        size,         // cols, rows: the owner resized the terminal
        share_ended,  // text: why the link no longer grants the session
        exit,         // exit_status: the shell ended
        error,        // text
        other,        // a message this client has no use for
    };
    Kind kind = Kind::other;
    std::uint64_t seq = 0;
    std::string data{};
    std::string mode{}, owner{}, target{};  // owner empty when the owner gave no name
    std::uint16_t cols = 0, rows = 0;
    std::string text{};
    int exit_status = 0;  // the exit code, or 128 + N when signal N ended the shell
};

// Nothing when the text is not a message of the protocol.
std::optional<ViewerMessage> parse_viewer_message(std::string_view text);

std::string ack_message(std::uint64_t seq);

// Keys typed: UTF-8 text goes as it is; anything else (a meta key's high
// byte) one character per byte, marked binary, as the page sends mouse
// reports.
std::string input_message(std::string_view keys);

}  // namespace tsb::attach
