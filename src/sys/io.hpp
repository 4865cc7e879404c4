#pragma once
// Writing to descriptors that may be non-blocking.

#include <chrono>
#include <cstddef>
#include <functional>
#include <string_view>

#include "sys/error.hpp"

namespace tsb {

// Writes as much of `bytes` as the descriptor takes now, resuming after
// partial writes and EINTR; stops without an error when a non-blocking
// descriptor is full. Returns how many bytes were written.
Result<std::size_t> write_some(int fd, std::string_view bytes);

// Writes all of `bytes`, waiting for room when the descriptor is
// non-blocking and full (another program sharing a terminal may have made
// it so). With `give_up`, asked whenever a write or a wait is cut short (by
// a signal, or partly done): once it says so the write stops with EINTR,
// so that a loop can still end while the other side takes nothing.
Result<void> write_all(int fd, std::string_view bytes, bool (*give_up)() = nullptr);

// Reads `fd` until its end or `deadline`, handing each piece to `sink`;
// true when the end was reached, false at the deadline or on an error.
bool read_until_end(int fd, std::chrono::steady_clock::time_point deadline,
                    const std::function<void(std::string_view)>& sink);

// A standard descriptor that is not open would be handed out by the next
// open: a pipe or the PTY master could become "standard input". Holds each
// closed slot of 0, 1 and 2 with /dev/null opened the wrong way round, so
// that it still behaves as a closed descriptor (every read or write fails
// with EBADF). Call first thing in main.
void hold_closed_standard_descriptors();

// Makes standard output non-blocking when it is a pipe or a socket, so that
// a peer that stops reading cannot stall the writer; true if it did. A
// pipe's or socket's write end is the broker's own (the peer reads from the
// other end), whereas a terminal or a file may be shared with other
// programs, whose writes would start to fail with EAGAIN: those are left
// blocking.
bool make_nonblocking_if_pipe(int fd);

// When `fd` is a socket whose send buffer holds more than about `bytes`,
// makes it hold about that much. What waits in the transport has been read
// from the terminal already, where a ^C can no longer flush it: a small
// buffer keeps the backlog in the terminal instead.
void limit_socket_send_buffer(int fd, int bytes);

}  // namespace tsb
