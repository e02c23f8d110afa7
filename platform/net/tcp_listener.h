#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "platform/net/tcp_socket.h"

namespace kavri {

// A listening TCP socket. accept() blocks the calling thread (no polling);
// close() from any thread wakes it and makes it return nothing.
class TcpListener {
public:
    // Binds `address` (a numeric IPv4 or IPv6 address) and listens; port 0
    // takes a free one. Throws NetError naming the address, e.g. when the
    // port is taken.
    TcpListener(const std::string& address, std::uint16_t port);
    TcpListener(const TcpListener&) = delete;
    TcpListener& operator=(const TcpListener&) = delete;
    ~TcpListener();

    std::uint16_t port() const { return port_; }
    const std::string& address() const { return address_; }

    // The next connection; nothing once the listener was closed.
    std::optional<TcpSocket> accept();
    void close();

private:
    std::string address_;
    std::uint16_t port_ = 0;
    int fd_ = -1;
    mutable std::mutex mutex_;
    bool closed_ = false;
};

}  // namespace kavri
