#pragma once
// TLS over a connected, non-blocking socket, for the addresses that a TLS
// proxy in front of the browser terminal's server hands out (https://).
// The server's certificate is checked against the system's authorities
// (or those OpenSSL's SSL_CERT_FILE and SSL_CERT_DIR name) and the
// address's host name, as a browser would: a link or a token is a
// capability, and sending it to whoever answers would give it away.

#include <poll.h>

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "sys/error.hpp"

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;

namespace tsb::attach {

class TlsSession {
public:
    // Makes the handshake on `fd` (which stays the caller's) within the deadline.
    static Result<TlsSession> start(int fd, const std::string& host, std::chrono::steady_clock::time_point deadline);

    // Bytes read; 0 at the end of the stream; nothing while TLS waits for
    // the socket (see wanted_events).
    Result<std::optional<std::size_t>> read(char* buffer, std::size_t size);
    // Bytes written, 0 while TLS waits for the socket.
    Result<std::size_t> write(std::string_view bytes);
    // Bytes already decrypted, which a poll of the socket does not show.
    bool pending() const;
    // What the socket must become (POLLIN or POLLOUT) for the last call that
    // waited to go on.
    short wanted_events() const { return wanted_; }

private:
    struct FreeContext { void operator()(SSL_CTX* context) const; };
    struct FreeSsl { void operator()(SSL* ssl) const; };
    TlsSession(std::unique_ptr<SSL_CTX, FreeContext> context, std::unique_ptr<SSL, FreeSsl> ssl)
        : context_(std::move(context)), ssl_(std::move(ssl)) {}

    // An SSL_* call's result as: done (true), wait for the socket (false), or an error.
    Result<bool> settle(int result);

    std::unique_ptr<SSL_CTX, FreeContext> context_;
    std::unique_ptr<SSL, FreeSsl> ssl_;
    short wanted_ = POLLIN;
};

}  // namespace tsb::attach
