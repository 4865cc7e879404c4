#include "sys/error.hpp"

#include <cerrno>
#include <cstring>

namespace tsb {

Error Error::os(int errno_value) { return Error(Kind::os, errno_value, {}); }

Error Error::symbolic(int errno_value) { return Error(Kind::symbolic, errno_value, {}); }

Error Error::last_os() { return os(errno); }

Error Error::text(std::string message) { return Error(Kind::text, 0, std::move(message)); }

std::string Error::describe() const {
    switch (kind_) {
    case Kind::text:
        return message_;
    case Kind::os: {
        char buffer[256];
        // The GNU strerror_r returns a pointer that may or may not be buffer.
        const char* message = strerror_r(code_, buffer, sizeof buffer);
        std::string out(message);
        out.append(" (os error ").append(std::to_string(code_)).push_back(')');
        return out;
    }
    case Kind::symbolic: {
        const char* name = strerrorname_np(code_);
        const char* description = strerrordesc_np(code_);
        std::string out;
        if (name != nullptr)
            out.append(name);
        else
            out.append("E").append(std::to_string(code_));
        out.append(": ").append(description != nullptr ? description : "Unknown error");
        return out;
    }
    }
    return message_;
}

}  // namespace tsb
