#include "platform/net/tcp_listener.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "platform/net/net_error.h"

namespace kavri {

TcpListener::TcpListener(const std::string& address, std::uint16_t port) : address_(address) {
    sockaddr_storage storage{};
    socklen_t len = 0;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
    if (inet_pton(AF_INET, address.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        len = sizeof *v4;
    } else if (inet_pton(AF_INET6, address.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        len = sizeof *v6;
    } else {
        throw NetError("not a numeric address: " + address);
    }
    const std::string where = Endpoint{address, port}.text();
    fd_ = ::socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) throw NetError(where + ": " + strerror(errno));
    const int one = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&storage), len) != 0 || ::listen(fd_, 128) != 0) {
        const int err = errno;
        ::close(fd_);
        fd_ = -1;
        throw NetError(where + ": " + strerror(err));
    }
    sockaddr_storage bound{};
    socklen_t boundLen = sizeof bound;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&bound), &boundLen);
    port_ = ntohs(bound.ss_family == AF_INET ? reinterpret_cast<sockaddr_in*>(&bound)->sin_port
                                             : reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port);
}

TcpListener::~TcpListener() {
    close();
    if (fd_ >= 0) ::close(fd_);
}

std::optional<TcpSocket> TcpListener::accept() {
    for (;;) {
        {
            std::lock_guard lock(mutex_);
            if (closed_) return std::nullopt;
        }
        const int fd = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
            std::lock_guard lock(mutex_);
            if (closed_) {
                ::close(fd);
                return std::nullopt;
            }
            const int one = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            return TcpSocket(fd);
        }
        const int err = errno;
        if (err == EINTR || err == ECONNABORTED || err == EPROTO) continue;
        {
            std::lock_guard lock(mutex_);
            if (closed_) return std::nullopt;
        }
        if (err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM) {
            // Out of descriptors: wait a little for some to close.
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            continue;
        }
        return std::nullopt;
    }
}

void TcpListener::close() {
    std::lock_guard lock(mutex_);
    if (closed_) return;
    closed_ = true;
    // Wakes a blocked accept(); the descriptor itself goes with the object.
    if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
}

}  // namespace kavri
