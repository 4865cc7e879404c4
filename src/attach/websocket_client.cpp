#include "attach/websocket_client.hpp"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>

#include "attach/websocket_handshake.hpp"

namespace tsb::attach {

namespace {

using Clock = std::chrono::steady_clock;

// An answer's head larger than this is no WebSocket server's.
constexpr std::size_t max_response_head = 16384;

// Waits for `events` on fd until the deadline; EINTR (a signal) retries.
Result<void> wait_for(int fd, short events, Clock::time_point deadline, std::string_view what) {
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return fail(Error::text("timed out " + std::string(what)));
        pollfd one{fd, events, 0};
        const int ready = ::poll(&one, 1, static_cast<int>(left));
        if (ready > 0) return {};
        if (ready < 0 && errno != EINTR) return fail(Error::last_os());
    }
}

Result<Fd> connect_address(const addrinfo& address, Clock::time_point deadline) {
    Fd socket(::socket(address.ai_family, address.ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, address.ai_protocol));
    if (!socket) return fail(Error::last_os());
    if (::connect(socket.get(), address.ai_addr, address.ai_addrlen) != 0) {
        if (errno != EINPROGRESS) return fail(Error::last_os());
        if (auto waited = wait_for(socket.get(), POLLOUT, deadline, "connecting"); !waited) return fail(waited.error());
        int error = 0;
        socklen_t size = sizeof error;
        if (::getsockopt(socket.get(), SOL_SOCKET, SO_ERROR, &error, &size) != 0) return fail(Error::last_os());
        if (error != 0) return fail(Error::os(error));
    }
    // Keystrokes go out one by one: no waiting to gather them.
    const int on = 1;
    (void)::setsockopt(socket.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return socket;
}

Result<Fd> connect_tcp(const ServerAddress& server, Clock::time_point deadline) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (const int error = ::getaddrinfo(server.host.c_str(), server.port.c_str(), &hints, &found); error != 0)
        return fail(Error::text("cannot find " + server.host + ": " + ::gai_strerror(error)));
    const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> addresses(found, &::freeaddrinfo);
    Error last = Error::text("no address");
    for (const addrinfo* address = found; address != nullptr; address = address->ai_next) {
        auto socket = connect_address(*address, deadline);
        if (socket) return socket;
        last = socket.error();
    }
    return fail(Error::text("cannot connect to " + server.authority + ": " + last.describe()));
}

}  // namespace

Result<WebSocketClient> WebSocketClient::connect(const ServerAddress& server, std::string_view target,
                                                 std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    auto socket = connect_tcp(server, deadline);
    if (!socket) return fail(socket.error());
    std::optional<TlsSession> tls;
    if (server.secure) {
        auto started = TlsSession::start(socket->get(), server.host, deadline);
        if (!started) return fail(started.error());
        tls.emplace(std::move(*started));
    }
    WebSocketClient client(std::move(*socket), std::move(tls));
    if (auto made = client.handshake(server, target, deadline); !made) return fail(made.error());
    return client;
}

// The request, then the answer's head; what came after the head is the first frames.
Result<void> WebSocketClient::handshake(const ServerAddress& server, std::string_view target,
                                        Clock::time_point deadline) {
    auto key = websocket_key();
    if (!key) return fail(key.error());
    std::string_view request_left;
    const std::string request = handshake_request_text(
        {.host = server.authority, .target = std::string(target), .origin = server.origin(), .key = *key});
    for (request_left = request; !request_left.empty();) {
        auto sent = write_some(request_left);
        if (!sent) return fail(sent.error());
        request_left.remove_prefix(*sent);
        if (*sent == 0)
            if (auto waited = wait_for(fd(), waiting_for() | POLLOUT, deadline, "sending the handshake"); !waited)
                return waited;
    }
    std::string answer;
    for (std::size_t end; (end = answer.find("\r\n\r\n")) == std::string::npos;) {
        if (answer.size() > max_response_head) return fail(Error::text("the server's answer is not HTTP"));
        char buffer[4096];
        auto got = read_some(buffer, sizeof buffer);
        if (!got) return fail(got.error());
        if (*got && **got == 0) return fail(Error::text("the server closed the connection during the handshake"));
        if (*got) {
            answer.append(buffer, **got);
        } else if (auto waited = wait_for(fd(), waiting_for(), deadline, "waiting for the handshake"); !waited) {
            return waited;
        }
    }
    const std::size_t head = answer.find("\r\n\r\n") + 4;
    if (auto checked = check_handshake_response(std::string_view(answer).substr(0, head), *key); !checked)
        return checked;
    reader_.feed(std::string_view(answer).substr(head));
    return {};
}

Result<std::optional<std::size_t>> WebSocketClient::read_some(char* buffer, std::size_t size) {
    if (tls_) return tls_->read(buffer, size);
    const ssize_t got = ::recv(socket_.get(), buffer, size, 0);
    if (got >= 0) return static_cast<std::size_t>(got);
    if (errno == EAGAIN || errno == EINTR) return std::nullopt;
    return fail(Error::last_os());
}

Result<std::size_t> WebSocketClient::write_some(std::string_view bytes) {
    if (tls_) return tls_->write(bytes);
    const ssize_t sent = ::send(socket_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent >= 0) return static_cast<std::size_t>(sent);
    if (errno == EAGAIN || errno == EINTR) return std::size_t{0};
    return fail(Error::last_os());
}

short WebSocketClient::poll_events() const {
    const bool tls_writes = tls_ && tls_->wanted_events() == POLLOUT;
    return static_cast<short>(POLLIN | (sending() || tls_writes ? POLLOUT : 0));
}

FrameMask WebSocketClient::fresh_mask() {
    FrameMask mask{};
    if (masks_.size() < mask.size()) {
        masks_.resize(256);
        // The kernel's pool does not run dry after boot; should it fail,
        // a fixed mask still frames correctly, only predictably.
        const ssize_t got = ::getrandom(masks_.data(), masks_.size(), 0);
        masks_.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
        if (masks_.size() < mask.size()) masks_.assign(mask.size(), '\x5a');
    }
    std::copy_n(masks_.end() - 4, 4, reinterpret_cast<char*>(mask.data()));
    masks_.resize(masks_.size() - 4);
    return mask;
}

void WebSocketClient::send(Opcode opcode, std::string_view payload) {
    outgoing_ += encode_frame(opcode, payload, fresh_mask());
}

Result<void> WebSocketClient::flush() {
    while (!outgoing_.empty()) {
        auto sent = write_some(outgoing_);
        if (!sent) return fail(sent.error());
        if (*sent == 0) return {};
        outgoing_.erase(0, *sent);
    }
    return {};
}

Result<WebSocketClient::Received> WebSocketClient::receive() {
    char buffer[65536];
    Received received = Received::nothing;
    // TLS may hold decrypted bytes that no poll of the socket shows: all of them now.
    do {
        auto got = read_some(buffer, sizeof buffer);
        if (!got) return fail(got.error());
        if (!*got) break;
        if (**got == 0) return Received::ended;
        reader_.feed(std::string_view(buffer, **got));
        received = Received::data;
    } while (tls_ && tls_->pending());
    return received;
}

Result<std::optional<WebSocketMessage>> WebSocketClient::next() {
    auto message = reader_.next();
    if (message && *message && (*message)->opcode == Opcode::ping) send(Opcode::pong, (*message)->payload);
    return message;
}

Result<std::optional<WebSocketMessage>> WebSocketClient::next_before(Clock::time_point deadline) {
    for (;;) {
        auto message = next();
        if (!message || *message) return message;
        // What waits to go (a request, an answer to a ping) goes meanwhile.
        if (auto sent = flush(); !sent) return fail(sent.error());
        if (auto waited = wait_for(socket_.get(), poll_events(), deadline, "waiting for the server"); !waited)
            return std::nullopt;
        auto received = receive();
        if (!received) return fail(received.error());
        if (*received == Received::ended) return fail(Error::text("the server closed the connection"));
    }
}

}  // namespace tsb::attach
