#include "sys/fd.hpp"

#include <unistd.h>

namespace tsb {

void Fd::reset(int fd) noexcept {
    if (fd_ >= 0) {
        // close() must not be retried on EINTR on Linux: the descriptor is
        // released whatever it returns.
        ::close(fd_);
    }
    fd_ = fd;
}

}  // namespace tsb
