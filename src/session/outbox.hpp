#pragma once
// The peer's side of the session: event lines on standard output, numbered
// data events, and the two bounds on what the broker lets wait for the
// peer: event bytes it has not read yet, and, when the peer asked for a
// window, terminal bytes it has not acknowledged yet.

#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "protocol/events.hpp"
#include "sys/error.hpp"
#include "sys/io.hpp"

namespace tsb {

// While more event bytes than this wait for the peer to read them, the
// terminal is not read: the program on it is held back by the kernel, and
// what the broker holds stays small. Output the broker has read can no
// longer be flushed by a ^C typed into the terminal, so the terminal is
// read only once every earlier line has gone to the transport: the kernel's
// pipe or socket buffer keeps the peer busy meanwhile.
inline constexpr std::size_t max_waiting_output = 0;
// What a socket on standard output may hold, for the same reason (a
// socket's default buffer holds about 200 KiB).
inline constexpr int transport_send_buffer = 16 * 1024;

// Data events the peer has not acknowledged yet, while it uses a window.
class FlowWindow {
public:
    bool on() const noexcept { return window_ > 0; }
    bool full() const noexcept { return on() && unacked_bytes_ >= window_; }

    // Events sent before the window changes need no acknowledgement.
    void set(std::uint32_t window);
    void sent(std::uint64_t seq, std::size_t bytes);
    void acknowledged(std::uint64_t seq);

private:
    struct Sent {
        std::uint64_t seq;
        std::size_t bytes;
    };
    std::uint32_t window_ = 0;
    std::deque<Sent> unacked_;
    std::size_t unacked_bytes_ = 0;
};

// A write that fails (EPIPE above all: the peer has closed its end or has
// died) means nobody will read another line: the outbox keeps the error,
// writes nothing more, and reports the peer gone; the session takes that
// as a request to end.
class Outbox {
public:
    explicit Outbox(int fd) : out_(fd) { limit_socket_send_buffer(fd, transport_send_buffer); }

    std::uint64_t last_seq() const noexcept { return seq_; }
    // The peer has not read what waits.
    bool backed_up() const noexcept { return !failure_ && out_.pending() > max_waiting_output; }
    bool window_full() const noexcept { return window_.full(); }
    bool peer_gone() const noexcept { return failure_.has_value(); }
    // The error of the write that failed, once the peer is gone.
    const std::optional<Error>& failure() const noexcept { return failure_; }

    void write_line(const nlohmann::json& event);
    // Numbers the chunk (also once the peer is gone, when it is dropped).
    void write_data(std::span<const char> bytes);
    // The last line; what waits goes out as the peer reads.
    void write_closed(const nlohmann::json& closed);
    bool closed_sent() const noexcept { return closed_sent_; }

    // Whether later data events carry their output as raw bytes after the
    // line instead of as Base64 in it.
    void set_raw_data(bool raw) noexcept { raw_data_ = raw; }

    // Turns the window on or off and confirms it to the peer.
    void set_window(std::uint32_t window);
    void acknowledge(std::uint64_t seq);

    // Standard output, when lines wait for room in it; -1 otherwise.
    int poll_fd() const noexcept { return !failure_ && out_.pending() > 0 ? out_.fd() : -1; }
    // POLLERR or POLLHUP too: the write says what happened.
    void on_poll_ready() { note(out_.flush()); }

private:
    void note(const Result<void>& written);

    EventWriter out_;
    std::optional<Error> failure_;
    FlowWindow window_;
    std::uint64_t seq_ = 0;
    bool raw_data_ = false;
    bool closed_sent_ = false;
};

}  // namespace tsb
