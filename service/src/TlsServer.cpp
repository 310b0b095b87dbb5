#include "TlsServer.hpp"

#include "TlsStream.hpp"

#include <cerrno>
#include <chrono>
#include <cstdint>

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace velquor::service {
namespace {

bool setBlocking(int socket, bool blocking) {
    const int flags = ::fcntl(socket, F_GETFL);
    return flags >= 0 && ::fcntl(socket, F_SETFL, blocking ? flags & ~O_NONBLOCK : flags | O_NONBLOCK) == 0;
}

} // namespace

TlsServer::TlsServer(const std::function<bool(SSL_CTX&)>& setUp)
    : context_(SSL_CTX_new(TLS_server_method()))
    , stopEvent_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (!context_)
        return;
    SSL_CTX_set_options(context_, SSL_OP_NO_COMPRESSION | SSL_OP_NO_SESSION_RESUMPTION_ON_RENEGOTIATION);
    if (!setUp(*context_)) {
        SSL_CTX_free(context_);
        context_ = nullptr;
    }
}

TlsServer::~TlsServer() {
    SSL_CTX_free(context_);
    if (stopEvent_ >= 0)
        ::close(stopEvent_);
}

bool TlsServer::is_valid() const {
    return context_ != nullptr && stopEvent_ >= 0;
}

void TlsServer::stopServing() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(stopEvent_, &one, sizeof one);
    stop();
}

bool TlsServer::handshake(int socket, SSL* ssl) const {
    const int timeoutMs = static_cast<int>(read_timeout_sec_ * 1000 + read_timeout_usec_ / 1000);
    if (!setBlocking(socket, false))
        return false;
    for (;;) {
        const int result = SSL_accept(ssl);
        if (result == 1)
            break;
        const int error = SSL_get_error(ssl, result);
        pollfd entry{socket, 0, 0};
        if (error == SSL_ERROR_WANT_READ)
            entry.events = POLLIN;
        else if (error == SSL_ERROR_WANT_WRITE)
            entry.events = POLLOUT;
        else
            return false;
        if (::poll(&entry, 1, timeoutMs) <= 0 || (entry.revents & entry.events) == 0)
            return false;
    }
    // Served blocking from here on, each read and write bounded by the socket's timeouts.
    return setBlocking(socket, true);
}

bool TlsServer::awaitRequest(int socket, const TlsStream& stream) const {
    if (stream.hasBuffered())
        return true;
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::seconds(keep_alive_timeout_sec_);
    while (svr_sock_ != INVALID_SOCKET) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            return false;
        pollfd entries[] = {{socket, POLLIN, 0}, {stopEvent_, POLLIN, 0}};
        const int ready = ::poll(entries, 2, static_cast<int>(left));
        if (ready < 0 && errno != EINTR)
            return false;
        if (ready > 0)
            // A request, or the peer's close, which the read then reports; unless stopping.
            return entries[1].revents == 0;
    }
    return false;
}

bool TlsServer::process_and_close_socket(int socket) {
    bool served = false;
    if (SSL* ssl = SSL_new(context_)) {
        // Reads take whatever the peer has sent, not a record header and then its body separately.
        SSL_set_read_ahead(ssl, 1);
        if (SSL_set_fd(ssl, socket) == 1 && handshake(socket, ssl)) {
            TlsStream stream(socket, ssl, {read_timeout_sec_, read_timeout_usec_},
                             {write_timeout_sec_, write_timeout_usec_});
            const auto setUpRequest = [ssl](httplib::Request& request) {
                request.ssl = ssl;
            };
            for (size_t left = keep_alive_max_count_; left > 0 && awaitRequest(socket, stream); --left) {
                bool closed = false;
                served = process_request(stream, left == 1, closed, setUpRequest);
                served = stream.flush() && served;
                if (!served || closed)
                    break;
            }
            // A connection that ended in order gets TLS's own end; a broken one is just closed.
            if (served)
                SSL_shutdown(ssl);
        }
        SSL_free(ssl);
        ERR_clear_error();
    }
    ::shutdown(socket, SHUT_RDWR);
    ::close(socket);
    return served;
}

} // namespace velquor::service
