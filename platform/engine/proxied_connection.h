#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "platform/net/endpoint.h"
#include "platform/net/tcp_socket.h"
#include "platform/runtime/clock.h"

namespace kavri {

// One client connection of a served inbound, from accept to close: its two
// sockets, where it goes and through which outbounds, and its byte counts.
// The serving thread owns the sockets; close() may come from any thread.
class ProxiedConnection {
public:
    explicit ProxiedConnection(TcpSocket client) : client_(std::move(client)) {}

    TcpSocket& client() { return client_; }
    TcpSocket& upstream() { return upstream_; }
    // Installs the stream to the outbound; shut at once when the connection
    // was closed meanwhile.
    void setUpstream(TcpSocket upstream);
    // Ends both streams; the serving thread then finishes.
    void close();
    bool closed() const;

    // Set by the serving thread before the connection enters the table.
    std::string id;
    std::string inboundType;
    std::string inboundTag;
    Endpoint source;
    Endpoint destination;
    std::vector<std::string> chains;  // leaf outbound first, as clash lists them
    std::string rule;
    Clock::WallTime start;

    std::atomic<std::uint64_t> upload{0};
    std::atomic<std::uint64_t> download{0};

private:
    mutable std::mutex mutex_;
    bool closed_ = false;
    TcpSocket client_;
    TcpSocket upstream_;
};

}  // namespace kavri
