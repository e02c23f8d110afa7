#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "platform/net/endpoint.h"

namespace kavri {

// One connected TCP stream. The thread that owns it reads, writes and closes
// it; any other thread may call shutdownBoth() to end a blocked read or poll
// (the descriptor stays valid until the owner closes it).
class TcpSocket {
public:
    TcpSocket();
    explicit TcpSocket(int fd);
    TcpSocket(TcpSocket&&) noexcept;
    TcpSocket& operator=(TcpSocket&&) noexcept;
    TcpSocket(const TcpSocket&) = delete;
    TcpSocket& operator=(const TcpSocket&) = delete;
    ~TcpSocket();

    // Resolves the host and connects to the first address that answers
    // within `timeout`. Throws NetError.
    static TcpSocket connect(const Endpoint& to, std::chrono::milliseconds timeout);

    bool valid() const;
    int fd() const;

    // Blocks until bytes arrive; 0 at the end of the stream. Throws NetError.
    std::size_t readSome(char* buffer, std::size_t size);
    // Exactly `count` bytes; throws NetError when the stream ends before.
    std::string readExactly(std::size_t count);
    // Throws NetError when the peer is gone.
    void writeAll(std::string_view bytes);

    void shutdownWrite();
    // Any thread: ends the stream both ways; pending and later reads see its end.
    void shutdownBoth();
    void close();

    Endpoint peer() const;
    Endpoint local() const;

private:
    struct State;
    std::unique_ptr<State> s_;
};

}  // namespace kavri
