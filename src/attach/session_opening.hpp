#pragma once
// What the browser terminal's server says as a session opens, heard before
// the person's terminal goes raw so that a refusal is a plain line: what a
// share link grants a viewer; the owner's session and the links it asked
// for.

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "attach/server_messages.hpp"
#include "attach/terminal_modes.hpp"
#include "attach/websocket_client.hpp"

namespace tsb::attach {

// Waits until the server says what the link grants; an error when it
// refuses the link (with its reason), closes, or says nothing in time.
Result<ServerMessage> await_watching(WebSocketClient& socket, std::chrono::milliseconds timeout);

// The line said before the session shows: whose session, in which mode, at
// what size, how to leave, and whether this terminal is too small for it.
std::string join_status_line(const ServerMessage& watching, std::optional<WindowSize> local);

struct OwnedSession {
    ServerMessage session{};              // its id, whether it was taken back, the server's note
    std::vector<SessionLink> links{};     // every link of the session once the requests were answered
    std::vector<std::string> refusals{};  // why a link asked for was not made
    std::vector<ServerMessage> early{};   // the session's output and news meanwhile, for the loop
};

// Waits for the owner's session, then asks for a link in each of `modes`
// (with the owner's `label`) and waits until the server has answered them
// all; an error when the server refuses the session (with its reason),
// closes, or does not answer in time.
Result<OwnedSession> open_owned_session(WebSocketClient& socket, const std::vector<std::string>& modes,
                                        std::string_view label, std::chrono::milliseconds timeout);

// The lines said before an owned session shows: the session's id, each
// link's address (a page of `origin`) and what it grants, how to leave.
std::vector<std::string> owner_status_lines(const OwnedSession& owned, std::string_view origin);

}  // namespace tsb::attach
