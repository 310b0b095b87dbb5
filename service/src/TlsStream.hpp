// One TLS connection as cpp-httplib's server reads and writes it, buffered both ways: a request
// arrives through one buffer (the library reads its header lines a byte at a time), and a reply
// leaves in one TLS record and one send when flush() is called after it, where writing straight
// through would send its headers and its body apart. Anything written is also sent before a read
// waits on the peer.
#pragma once

#include <httplib.h>

#include <array>
#include <string>

namespace velquor::service {

// Used by the one thread that serves the connection. Waits are bounded by the read and write
// inactivity limits given (also set on the socket itself by the server).
class TlsStream : public httplib::Stream {
public:
    TlsStream(int socket, SSL* ssl, timeval readTimeout, timeval writeTimeout);

    // True when request bytes wait here or in the TLS layer, so that reading them cannot block.
    bool hasBuffered() const;
    // Sends what write() gathered; false when the connection failed (then or before).
    bool flush();

    bool is_readable() const override;
    bool is_writable() const override;
    ssize_t read(char* data, size_t size) override;
    ssize_t write(const char* data, size_t size) override;
    void get_remote_ip_and_port(std::string& ip, int& port) const override;
    void get_local_ip_and_port(std::string& ip, int& port) const override;
    int socket() const override { return socket_; }

private:
    // Larger replies (archives) leave in pieces of about this size rather than wholly gathered.
    static constexpr size_t flushThreshold = 64 * 1024;
    static constexpr size_t readChunk = 16 * 1024 + 512; // one TLS record's plaintext and then some

    int socket_;
    SSL* ssl_;
    int readTimeoutMs_;
    int writeTimeoutMs_;
    std::array<char, readChunk> in_;
    size_t inBegin_ = 0;
    size_t inEnd_ = 0;
    std::string out_;
    bool failed_ = false;
    std::string remoteIp_, localIp_;
    int remotePort_ = 0, localPort_ = 0;
};

} // namespace velquor::service
