#pragma once
// The terminal's side of the session: the PTY master, the input that waits
// for room in it, and its output read in chunks of one read each (or, when
// the peer asks, of what a few reads in a row find ready).

#include <algorithm>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "protocol/channel.hpp"
#include "sys/error.hpp"
#include "sys/fd.hpp"

namespace tsb {

inline constexpr std::size_t read_buffer_size = 65536;

class TerminalSide {
public:
    explicit TerminalSide(Fd master);

    // -1 once the terminal is closed.
    int fd() const noexcept { return master_.get(); }
    // The master has reported the end of the terminal's output (or the
    // broker closed it): nothing more will come.
    bool output_ended() const noexcept { return output_ended_; }
    // Every slave descriptor is closed: what the kernel still holds is all
    // the output there will be, and input has nowhere to go.
    bool hung_up() const noexcept { return hung_up_; }
    bool input_pending() const noexcept { return pending_offset_ < pending_input_.size(); }

    // Starts writing `data`, keeping `credit` until it is written in full.
    void start_input(std::string data, CommandCredit credit);
    // Writes as much of the pending input as the terminal takes now.
    void write_pending_input();
    void set_window_size(std::uint16_t cols, std::uint16_t rows, std::string_view context);

    // The poll events to ask for; -1 to leave the master out of the poll.
    int poll_events(bool may_read) const noexcept;
    // Acts on what poll reported: writes input, notes a hang-up. Returns
    // whether a read is worth trying.
    Result<bool> on_poll_ready(short revents);

    // Up to how many bytes a chunk of output may join the reads that find
    // output ready one after another (0: one read a chunk). A flood then
    // costs the peer a line per `bytes` rather than per read: the terminal
    // gives 4 KiB or so at a time. An echo is not held: the read after it
    // finds nothing.
    void set_merge_limit(std::size_t bytes) noexcept { merge_limit_ = std::min(bytes, read_buffer_size); }

    // One chunk of output: the bytes (empty when nothing was ready, or at the
    // end of output, which output_ended() then tells).
    Result<std::span<const char>> read_output();
    // Closes the master, which hangs up whatever still holds the slave.
    // Input that waits goes nowhere.
    void close();

private:
    void drop_pending_input();

    Fd master_;
    std::unique_ptr<char[]> read_buffer_;
    std::size_t merge_limit_ = 0;
    bool output_ended_ = false;
    bool hung_up_ = false;
    std::string pending_input_;
    std::size_t pending_offset_ = 0;
    CommandCredit pending_credit_;
};

}  // namespace tsb
