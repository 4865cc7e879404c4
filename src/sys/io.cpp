#include "sys/io.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace tsb {
namespace {

Result<void> wait_writable(int fd) {
    pollfd entry{.fd = fd, .events = POLLOUT, .revents = 0};
    while (::poll(&entry, 1, -1) < 0) {
        if (errno != EINTR) return fail(Error::last_os());
    }
    return {};
}

}  // namespace

Result<std::size_t> write_some(int fd, std::string_view bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t written = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (written > 0) {
            done += static_cast<std::size_t>(written);
        } else if (written == 0) {
            return fail(Error::text("short write"));
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            break;
        } else if (errno != EINTR) {
            return fail(Error::last_os());
        }
    }
    return done;
}

Result<void> write_all(int fd, std::string_view bytes) {
    while (true) {
        Result<std::size_t> written = write_some(fd, bytes);
        if (!written) return fail(std::move(written.error()));
        bytes.remove_prefix(*written);
        if (bytes.empty()) return {};
        if (auto waited = wait_writable(fd); !waited) return waited;
    }
}

void limit_socket_send_buffer(int fd, int bytes) {
    int current = 0;
    socklen_t size = sizeof current;
    if (::getsockopt(fd, SOL_SOCKET, SO_SNDBUF, &current, &size) < 0) return;
    // The kernel doubles what it is given, for its own bookkeeping.
    if (current > 2 * bytes) ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
}

bool make_nonblocking_if_pipe(int fd) {
    struct stat info {};
    if (::fstat(fd, &info) < 0 || !(S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode))) return false;
    const int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

}  // namespace tsb
