#pragma once
// Whether the peer's end of standard input has gone, learnt without
// reading it.
//
// Standard input belongs to the stdin reader thread: it alone reads it, and
// it tells the loop that input has ended by its last command. But while the
// reader is held at the channel's bound it reads nothing, and a peer that
// died behind a paste the terminal never takes would never be noticed. So,
// while the reader is held, the loop polls descriptor 0 for a hang-up only:
// it asks for no input event, never reads, never changes the descriptor's
// flags and never closes it, so the reader finds every byte where it left
// it and remains the one owner of the stream. The number stays the same
// file for the life of the process (main holds a closed standard
// descriptor open on /dev/null, and nothing closes 0).

#include <poll.h>
#include <unistd.h>

namespace tsb {

class StdinWatch {
public:
    int fd() const noexcept { return STDIN_FILENO; }
    // A pipe reports POLLHUP once every writer has gone; a socket whose
    // peer has shut down its sending side reports POLLRDHUP. -1: leave
    // standard input out of the poll.
    int poll_events(bool reader_held) const noexcept { return reader_held && !hung_up_ ? POLLRDHUP : -1; }
    void on_poll_ready(short revents) noexcept {
        if (revents & (POLLHUP | POLLRDHUP | POLLERR | POLLNVAL)) hung_up_ = true;
    }
    bool hung_up() const noexcept { return hung_up_; }

private:
    bool hung_up_ = false;
};

}  // namespace tsb
