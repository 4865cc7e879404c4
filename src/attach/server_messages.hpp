#pragma once
// What the browser terminal's server says to a page of a session, the
// owner's or one that joined through a share link, and what such a page
// says back. Output comes as a text message of its own, "SEQ:DATA" (the
// decimal seq, a colon, the output as it is); everything else is a JSON
// object with a "type".

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tsb::attach {

// A link the owner made, as the server lists it.
struct SessionLink {
    std::string id, mode, capability;
};

struct ServerMessage {
    enum class Kind {
        session,      // text (its id), resumed, note: the owner's session, new or taken back
        sharing,      // links, viewers: the session's links and who came through them
        taken_over,   // another page took the owner's session

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
    bool resumed = false;
    std::string note{};
    std::vector<SessionLink> links{};
    std::vector<std::string> viewers{};  // one key per page connected through a link
};

// Nothing when the text is not a message of the protocol.
std::optional<ServerMessage> parse_server_message(std::string_view text);

std::string ack_message(std::uint64_t seq);
std::string resize_message(std::uint16_t cols, std::uint16_t rows);
// Asks for a link of `mode` (watch, control); `label` is what viewers are told the owner is called.
std::string share_message(std::string_view mode, std::string_view label);

// Keys typed: UTF-8 text goes as it is; anything else (a meta key's high
// byte) one character per byte, marked binary, as the page sends mouse
// reports.
std::string input_message(std::string_view keys);

}  // namespace tsb::attach
