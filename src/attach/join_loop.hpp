#pragma once
// The attach client in a session it joined through a share link: the
// owner's output on the person's terminal, keys to the shell in control
// mode (none in watch mode), and a key to leave. The terminal is never
// resized; the owner sets the size.

#include <chrono>
#include <optional>
#include <string>

#include "attach/asciicast_recording.hpp"
#include "attach/relay_loop.hpp"
#include "attach/signals.hpp"
#include "attach/terminal_modes.hpp"
#include "attach/viewer_messages.hpp"
#include "attach/websocket_client.hpp"

namespace tsb::attach {

// Leaves a joined session: Ctrl-], as telnet's escape. In control mode
// every other key goes to the shell.
inline constexpr char leave_key = '\x1d';

// Waits until the server says what the link grants; an error when it
// refuses the link (with its reason), closes, or says nothing in time.
Result<ViewerMessage> await_watching(WebSocketClient& socket, std::chrono::milliseconds timeout);

// The line said before the session shows: whose session, in which mode, at
// what size, how to leave, and whether this terminal is too small for it.
std::string join_status_line(const ViewerMessage& watching, std::optional<WindowSize> local);

struct JoinOutcome {
    enum class End {
        left,             // the person pressed the leave key
        share_ended,      // the server ended the link (detail: its reason)
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
};

JoinOutcome run_joined_session(WebSocketClient& socket, const ViewerMessage& watching, SignalPipe& signals,
                               const LocalStreams& local, AsciicastRecording* recording = nullptr);

}  // namespace tsb::attach
