#pragma once
// The attach client in a session of the browser terminal's server: the
// session's output on the person's terminal, each read acknowledged once
// written (which paces the session when this client is its owner); keys to
// the shell as the client's role allows; a key to leave. Only the owner
// sets the size, from this terminal's: a viewer's terminal is never
// resized.

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "attach/asciicast_recording.hpp"
#include "attach/relay_loop.hpp"
#include "attach/server_messages.hpp"
#include "attach/signals.hpp"
#include "attach/terminal_modes.hpp"
#include "attach/websocket_client.hpp"

namespace tsb::attach {

// Leaves a session: Ctrl-], as telnet's escape. Every other key goes to
// the shell (unless the client only watches).
inline constexpr char leave_key = '\x1d';

enum class SessionRole {
    watch,    // through a watch link: keys go nowhere
    control,  // through a control link: keys go to the shell
    owner,    // the session's owner: keys, and this terminal's size
};

struct ServerSessionStart {
    SessionRole role = SessionRole::watch;
    // The owner's: the size the session was opened at.
    std::optional<WindowSize> size{};
    // What the server sent while the session was being opened: shown first.
    std::vector<ServerMessage> early{};
};

struct ServerSessionOutcome {
    enum class End {
        left,             // the person pressed the leave key
        share_ended,      // the server ended the link (detail: its reason)
        taken_over,       // another page took the owner's session
        exited,           // the shell ended
        connection_lost,  // the connection failed or closed without a word (detail)
        hangup,           // the person's terminal hung up
        terminal_lost,    // reading or writing the terminal failed otherwise (detail)
        signal,           // another signal asked the client to end
    };
    End end = End::left;
    int exit_status = 0;
    int signal = 0;
    std::string detail{};
    std::size_t viewers = 0;  // pages that came through the owner's links
};

ServerSessionOutcome run_server_session(WebSocketClient& socket, ServerSessionStart start, SignalPipe& signals,
                                        const LocalStreams& local, AsciicastRecording* recording = nullptr);

// "the server closed the connection (CODE: REASON)" for a close frame's payload.
std::string close_detail(std::string_view payload);

}  // namespace tsb::attach
