#include "attach/session_opening.hpp"

#include "attach/server_session_loop.hpp"

namespace tsb::attach {

namespace {

using Clock = std::chrono::steady_clock;
using Kind = ServerMessage::Kind;

// Sent as a ping after the requests for links: the server answers a page's
// messages in order, so its pong comes after every answer to them.
constexpr std::string_view answers_marker = "links";

std::string link_line(const SessionLink& link, std::string_view origin) {
    const std::string grants = link.mode == "control" ? "types as you do" : "sees the screen, cannot type";
    return link.mode + " link (" + grants + "): " + std::string(origin) + "/?share=" + link.capability;
}

}  // namespace

Result<ServerMessage> await_watching(WebSocketClient& socket, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        auto message = socket.next_before(deadline);
        if (!message) return fail(message.error());
        if (!*message) return fail(Error::text("the server said nothing about the session in time"));
        if ((*message)->opcode == Opcode::close) return fail(Error::text(close_detail((*message)->payload)));
        if ((*message)->opcode != Opcode::text) continue;
        auto parsed = parse_server_message((*message)->payload);
        if (parsed && parsed->kind == Kind::share_ended) return fail(Error::text(parsed->text));
        if (parsed && parsed->kind == Kind::watching) return std::move(*parsed);
    }
}

std::string join_status_line(const ServerMessage& watching, std::optional<WindowSize> local) {
    const std::string whose = watching.owner.empty() ? "the session on " + watching.target
                                                     : watching.owner + "'s session";
    const std::string size = std::to_string(watching.cols) + "x" + std::to_string(watching.rows);
    std::string line = (watching.mode == "control" ? "controlling " : "watching ") + whose + " at " + size +
                       (watching.mode == "control" ? " (your keys go to its shell)" : " (your keys go nowhere)") +
                       "; Ctrl-] leaves";
    if (local && (local->cols < watching.cols || local->rows < watching.rows))
        line += "; this terminal is " + std::to_string(local->cols) + "x" + std::to_string(local->rows) +
                ", smaller than the session: its lines will wrap or scroll";
    return line;
}

Result<OwnedSession> open_owned_session(WebSocketClient& socket, const std::vector<std::string>& modes,
                                        std::string_view label, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    OwnedSession owned;
    bool asked = false;
    std::string refusal;  // the server's word before it closes a session it would not give
    for (;;) {
        auto message = socket.next_before(deadline);
        if (!message) return fail(refusal.empty() ? message.error() : Error::text(refusal));
        if (!*message)
            return fail(Error::text(asked ? "the server did not answer for the links in time"
                                          : "the server said nothing about the session in time"));
        const WebSocketMessage& frame = **message;
        if (frame.opcode == Opcode::close) return fail(Error::text(refusal.empty() ? close_detail(frame.payload) : refusal));
        if (frame.opcode == Opcode::pong && asked && frame.payload == answers_marker) return owned;
        if (frame.opcode != Opcode::text) continue;
        auto parsed = parse_server_message(frame.payload);
        if (!parsed) continue;
        if (parsed->kind == Kind::session && !asked) {
            owned.session = std::move(*parsed);
            for (const std::string& mode : modes) socket.send_text(share_message(mode, label));
            socket.send(Opcode::ping, answers_marker);
            asked = true;
        } else if (parsed->kind == Kind::error) {
            (asked ? owned.refusals.emplace_back() : refusal) = parsed->text;
        } else {
            if (parsed->kind == Kind::sharing) owned.links = parsed->links;
            owned.early.push_back(std::move(*parsed));
        }
    }
}

std::vector<std::string> owner_status_lines(const OwnedSession& owned, std::string_view origin) {
    std::vector<std::string> lines;
    if (!owned.session.note.empty()) lines.push_back(owned.session.note);
    lines.push_back((owned.session.resumed ? "took back the session " : "opened the session ") + owned.session.text);
    for (const SessionLink& link : owned.links) lines.push_back(link_line(link, origin));
    for (const std::string& refusal : owned.refusals) lines.push_back("no link made: " + refusal);
    lines.emplace_back(owned.links.empty() ? "Ctrl-] leaves it running on the server"
                                           : "Ctrl-] leaves it running on the server, its links valid");
    return lines;
}

}  // namespace tsb::attach
