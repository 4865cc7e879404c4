#include "sys/io.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace tsb {

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

Result<void> write_all(int fd, std::string_view bytes, bool (*give_up)()) {
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written > 0) {
            bytes.remove_prefix(static_cast<std::size_t>(written));
            if (bytes.empty()) break;
        } else if (written == 0) {
            return fail(Error::text("short write"));
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            pollfd entry{.fd = fd, .events = POLLOUT, .revents = 0};
            if (::poll(&entry, 1, -1) < 0 && errno != EINTR) return fail(Error::last_os());
        } else if (errno != EINTR) {
            return fail(Error::last_os());
        }
        if (give_up != nullptr && give_up()) return fail(Error::os(EINTR));
    }
    return {};
}

bool read_until_end(int fd, std::chrono::steady_clock::time_point deadline,
                    const std::function<void(std::string_view)>& sink) {
    char buffer[16384];
    while (true) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd waiting{.fd = fd, .events = POLLIN, .revents = 0};
        const int ready = ::poll(&waiting, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return false;
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (got < 0) return false;
        if (got == 0) return true;
        sink(std::string_view(buffer, static_cast<std::size_t>(got)));
    }
}

void hold_closed_standard_descriptors() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
        const int flags = fd == STDIN_FILENO ? O_WRONLY : O_RDONLY;
        const int opened = ::open("/dev/null", flags);
        if (opened >= 0 && opened != fd) ::close(opened);
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
