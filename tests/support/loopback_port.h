#pragma once
// A TCP socket bound to a free port on 127.0.0.1 for as long as the object
// lives: listening with `backlog`, or (negative) bound only, so that a
// connection to it is refused.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string>

namespace kavri::test {

struct LoopbackPort {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    std::uint16_t port = 0;

    explicit LoopbackPort(int backlog) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t len = sizeof a;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
        if (backlog >= 0) ::listen(fd, backlog);
    }
    ~LoopbackPort() { ::close(fd); }
    LoopbackPort(const LoopbackPort&) = delete;
    LoopbackPort& operator=(const LoopbackPort&) = delete;

    std::string number() const { return std::to_string(port); }
};

}  // namespace kavri::test
