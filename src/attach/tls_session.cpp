#include "attach/tls_session.hpp"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cerrno>

namespace tsb::attach {

namespace {

using Clock = std::chrono::steady_clock;

// The library's reason for the last failure, or `fallback`.
std::string library_error(std::string_view fallback) {
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0) return std::string(fallback);
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

bool is_address(const std::string& host) {
    unsigned char address[16];
    return ::inet_pton(AF_INET, host.c_str(), address) == 1 || ::inet_pton(AF_INET6, host.c_str(), address) == 1;
}

Result<void> wait_for(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return fail(Error::text("timed out in the TLS handshake"));
        pollfd one{fd, events, 0};
        const int ready = ::poll(&one, 1, static_cast<int>(left));
        if (ready > 0) return {};
        if (ready < 0 && errno != EINTR) return fail(Error::last_os());
    }
}

}  // namespace

void TlsSession::FreeContext::operator()(SSL_CTX* context) const { SSL_CTX_free(context); }
void TlsSession::FreeSsl::operator()(SSL* ssl) const { SSL_free(ssl); }

Result<TlsSession> TlsSession::start(int fd, const std::string& host, Clock::time_point deadline) {
    std::unique_ptr<SSL_CTX, FreeContext> context(SSL_CTX_new(TLS_client_method()));
    if (!context) return fail(Error::text("TLS: " + library_error("no context")));
    SSL_CTX_set_min_proto_version(context.get(), TLS1_2_VERSION);
    // A proxy that drops the connection without TLS's own goodbye has ended
    // it all the same; the WebSocket's messages carry their own lengths.
    SSL_CTX_set_options(context.get(), SSL_OP_IGNORE_UNEXPECTED_EOF);
    SSL_CTX_set_verify(context.get(), SSL_VERIFY_PEER, nullptr);
    if (SSL_CTX_set_default_verify_paths(context.get()) != 1)
        return fail(Error::text("TLS: cannot read the certificate authorities: " + library_error("")));
    std::unique_ptr<SSL, FreeSsl> ssl(SSL_new(context.get()));
    if (!ssl || SSL_set_fd(ssl.get(), fd) != 1) return fail(Error::text("TLS: " + library_error("no session")));
    SSL_set_mode(ssl.get(), SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    // The certificate must name the address's host: its address, or its name (also sent as SNI).
    const bool address = is_address(host);
    X509_VERIFY_PARAM* verify = SSL_get0_param(ssl.get());
    const int named = address ? X509_VERIFY_PARAM_set1_ip_asc(verify, host.c_str())
                              : X509_VERIFY_PARAM_set1_host(verify, host.c_str(), 0);
    if (named != 1 || (!address && SSL_set_tlsext_host_name(ssl.get(), host.c_str()) != 1))
        return fail(Error::text("TLS: cannot check the name " + host + ": " + library_error("")));

    TlsSession session(std::move(context), std::move(ssl));
    for (;;) {
        auto done = session.settle(SSL_connect(session.ssl_.get()));
        if (!done) {
            const long verified = SSL_get_verify_result(session.ssl_.get());
            if (verified != X509_V_OK)
                return fail(Error::text(std::string("the server's certificate is not trusted: ") +
                                        X509_verify_cert_error_string(verified)));
            return fail(done.error());
        }
        if (*done) return session;
        if (auto waited = wait_for(fd, session.wanted_, deadline); !waited) return fail(waited.error());
    }
}

Result<bool> TlsSession::settle(int result) {
    if (result > 0) return true;
    switch (SSL_get_error(ssl_.get(), result)) {
    case SSL_ERROR_WANT_READ:
        wanted_ = POLLIN;
        return false;
    case SSL_ERROR_WANT_WRITE:
        wanted_ = POLLOUT;
        return false;
    case SSL_ERROR_SYSCALL:
        if (errno != 0) return fail(Error::last_os());
        return fail(Error::text("TLS: the connection ended abruptly"));
    default:
        return fail(Error::text("TLS: " + library_error("the connection failed")));
    }
}

Result<std::optional<std::size_t>> TlsSession::read(char* buffer, std::size_t size) {
    ERR_clear_error();
    errno = 0;
    const int got = SSL_read(ssl_.get(), buffer, static_cast<int>(std::min<std::size_t>(size, INT_MAX)));
    if (got > 0) return static_cast<std::size_t>(got);
    if (SSL_get_error(ssl_.get(), got) == SSL_ERROR_ZERO_RETURN) return std::size_t{0};
    auto done = settle(got);
    if (!done) return fail(done.error());
    return std::nullopt;
}

Result<std::size_t> TlsSession::write(std::string_view bytes) {
    if (bytes.empty()) return std::size_t{0};
    ERR_clear_error();
    errno = 0;
    const int sent = SSL_write(ssl_.get(), bytes.data(), static_cast<int>(std::min<std::size_t>(bytes.size(), INT_MAX)));
    if (sent > 0) return static_cast<std::size_t>(sent);
    auto done = settle(sent);
    if (!done) return fail(done.error());
    return std::size_t{0};
}

bool TlsSession::pending() const { return SSL_pending(ssl_.get()) > 0; }

}  // namespace tsb::attach
