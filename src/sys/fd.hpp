#pragma once
// Fd: the single owner of one file descriptor. Move-only; closes the
// descriptor when it goes out of scope. Descriptors handed to it should be
// opened close-on-exec so that the shell inherits none of them.

#include <utility>

namespace tsb {

class Fd {
public:
    Fd() noexcept = default;
    explicit Fd(int fd) noexcept : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) reset(std::exchange(other.fd_, -1));
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(); }

    int get() const noexcept { return fd_; }
    bool valid() const noexcept { return fd_ >= 0; }
    explicit operator bool() const noexcept { return valid(); }

    // Closes the current descriptor (if any) and takes ownership of fd.
    void reset(int fd = -1) noexcept;

private:
    int fd_ = -1;
};

}  // namespace tsb
