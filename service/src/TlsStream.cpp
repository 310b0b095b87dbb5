#include "TlsStream.hpp"

#include <algorithm>
#include <cstring>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

namespace velquor::service {
namespace {

int milliseconds(timeval time) {
    return static_cast<int>(time.tv_sec * 1000 + time.tv_usec / 1000);
}

// True when `events` can proceed on `socket` within `timeoutMs`; false on timeout, error or hang-up
// without data.
bool waitFor(int socket, short events, int timeoutMs) {
    pollfd entry{socket, events, 0};
    int ready = 0;
    do
        ready = ::poll(&entry, 1, timeoutMs);
    while (ready < 0 && errno == EINTR);
    return ready > 0 && (entry.revents & events) != 0;
}

void addressOf(const sockaddr_storage& address, std::string& ip, int& port) {
    char text[INET6_ADDRSTRLEN] = {};
    if (address.ss_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
        if (::inet_ntop(AF_INET, &v4.sin_addr, text, sizeof text)) {
            ip = text;
            port = ntohs(v4.sin_port);
        }
    } else if (address.ss_family == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
        if (::inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text)) {
            ip = text;
            port = ntohs(v6.sin6_port);
        }
    }
}

} // namespace

TlsStream::TlsStream(int socket, SSL* ssl, timeval readTimeout, timeval writeTimeout)
    : socket_(socket)
    , ssl_(ssl)
    , readTimeoutMs_(milliseconds(readTimeout))
    , writeTimeoutMs_(milliseconds(writeTimeout)) {
    // Asked for on every request; a connection's addresses never change.
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getpeername(socket_, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        addressOf(address, remoteIp_, remotePort_);
    length = sizeof address;
    if (::getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        addressOf(address, localIp_, localPort_);
}

bool TlsStream::hasBuffered() const {
    return inBegin_ < inEnd_ || SSL_has_pending(ssl_) == 1;
}

bool TlsStream::is_readable() const {
    return hasBuffered() || waitFor(socket_, POLLIN, readTimeoutMs_);
}

bool TlsStream::is_writable() const {
    return !failed_ && waitFor(socket_, POLLOUT, writeTimeoutMs_);
}

ssize_t TlsStream::read(char* data, size_t size) {
    if (inBegin_ == inEnd_) {
        // What was written must leave before waiting for the peer: it may be waiting for it
        // (an interim "100 Continue" before a request body).
        if (!out_.empty() && !flush())
            return -1;
        inBegin_ = inEnd_ = 0;
        int got = 0;
        for (;;) {
            // The socket blocks, with the read limit as its receive timeout, so no wait comes first
            // (the connection's thread has just seen the request arrive).
            got = SSL_read(ssl_, in_.data(), static_cast<int>(in_.size()));
            if (got > 0)
                break;
            const int error = SSL_get_error(ssl_, got);
            // Nothing arrived within the limit, or only part of a record: read on while the peer
            // keeps sending within the limit.
            if (error == SSL_ERROR_WANT_READ && waitFor(socket_, POLLIN, readTimeoutMs_))
                continue;
            got = error == SSL_ERROR_ZERO_RETURN ? 0 : -1;
            break;
        }
        if (got <= 0) {
            ERR_clear_error();
            return got;
        }
        inEnd_ = static_cast<size_t>(got);
    }
    const size_t count = std::min(size, inEnd_ - inBegin_);
    std::memcpy(data, in_.data() + inBegin_, count);
    inBegin_ += count;
    return static_cast<ssize_t>(count);
}

ssize_t TlsStream::write(const char* data, size_t size) {
    if (failed_)
        return -1;
    out_.append(data, size);
    if (out_.size() >= flushThreshold && !flush())
        return -1;
    return static_cast<ssize_t>(size);
}

bool TlsStream::flush() {
    size_t sent = 0;
    while (!failed_ && sent < out_.size()) {
        // The socket blocks, with the write limit as its send timeout; a timeout ends the connection.
        const int wrote = SSL_write(ssl_, out_.data() + sent, static_cast<int>(out_.size() - sent));
        if (wrote <= 0) {
            failed_ = true;
            ERR_clear_error();
        } else {
            sent += static_cast<size_t>(wrote);
        }
    }
    out_.clear();
    return !failed_;
}

void TlsStream::get_remote_ip_and_port(std::string& ip, int& port) const {
    ip = remoteIp_;
    port = remotePort_;
}

void TlsStream::get_local_ip_and_port(std::string& ip, int& port) const {
    ip = localIp_;
    port = localPort_;
}

} // namespace velquor::service
