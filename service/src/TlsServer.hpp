// An HTTPS server: cpp-httplib's routing, request parsing and reply writing over this class's own
// TLS connections (TlsStream), which read a request through a buffer and send each reply in one
// write. The library's own TLS server sends a reply's headers and body apart and reads header
// lines from TLS a byte at a time, together a large share of the CPU a signed reply costs.
//
//   TlsServer server([](SSL_CTX& context) { return /* certificate and key set */ true; });
//   server.Post(".*", handler);
//   server.listen("127.0.0.1", 8443);
#pragma once

#include <httplib.h>

#include <functional>

namespace velquor::service {

class TlsStream;

// Configured and started like httplib::Server (whose thread-safety it shares); each connection is
// served on one thread of the server's task queue.
class TlsServer : public httplib::Server {
public:
    // `setUp` finishes the TLS context (certificate, key, versions); is_valid() is false when it
    // returns false.
    explicit TlsServer(const std::function<bool(SSL_CTX&)>& setUp);
    ~TlsServer() override;
    TlsServer(const TlsServer&) = delete;
    TlsServer& operator=(const TlsServer&) = delete;

    bool is_valid() const override;

    // httplib::Server::stop(), and every idle kept-alive connection ends at once instead of
    // at its keep-alive limit. Thread-safe; may be repeated.
    void stopServing();

private:
    bool process_and_close_socket(int socket) override;
    // The TLS handshake on `ssl`, each wait bounded by the read limit; false when it failed.
    bool handshake(int socket, SSL* ssl) const;
    // Waits for the next request of a kept-alive connection; false once the connection is idle
    // past the keep-alive limit, closed, or the server stops.
    bool awaitRequest(int socket, const TlsStream& stream) const;

    SSL_CTX* context_ = nullptr;
    // Readable once stopServing() has run: idle connections wait on it beside their socket, so
    // they sleep until a request, their limit or the stop, with no periodic look.
    int stopEvent_ = -1;
};

} // namespace velquor::service
