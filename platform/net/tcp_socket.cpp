#include "platform/net/tcp_socket.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <mutex>

#include "platform/net/net_error.h"

namespace kavri {

struct TcpSocket::State {
    std::mutex mutex;
    int fd = -1;
};

namespace {

std::string errnoText(int err) { return std::string(strerror(err)); }

Endpoint endpointOf(const sockaddr_storage& a) {
    char text[INET6_ADDRSTRLEN] = {};
    Endpoint e;
    if (a.ss_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(&a);
        inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
        e.port = ntohs(v4->sin_port);
    } else if (a.ss_family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&a);
        inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
        e.port = ntohs(v6->sin6_port);
    }
    e.host = text;
    return e;
}

// Connects one address within the time left; returns the descriptor or -1
// with `err` set.
int connectOne(const addrinfo* ai, std::chrono::milliseconds timeout, int& err) {
    const int fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, ai->ai_protocol);
    if (fd < 0) {
        err = errno;
        return -1;
    }
    if (::connect(fd, ai->ai_addr, ai->ai_addrlen) != 0) {
        if (errno != EINPROGRESS) {
            err = errno;
            ::close(fd);
            return -1;
        }
        pollfd p{fd, POLLOUT, 0};
        int r;
        do {
            r = ::poll(&p, 1, static_cast<int>(timeout.count()));
        } while (r < 0 && errno == EINTR);
        if (r == 0) {
            err = ETIMEDOUT;
            ::close(fd);
            return -1;
        }
        int soErr = 0;
        socklen_t len = sizeof soErr;
        if (r < 0 || getsockopt(fd, SOL_SOCKET, SO_ERROR, &soErr, &len) != 0 || soErr != 0) {
            err = r < 0 ? errno : (soErr != 0 ? soErr : errno);
            ::close(fd);
            return -1;
        }
    }
    const int flags = fcntl(fd, F_GETFL);
    fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

}  // namespace

TcpSocket::TcpSocket() : s_(std::make_unique<State>()) {}

TcpSocket::TcpSocket(int fd) : s_(std::make_unique<State>()) { s_->fd = fd; }

TcpSocket::TcpSocket(TcpSocket&& other) noexcept : s_(std::move(other.s_)) { other.s_ = std::make_unique<State>(); }

TcpSocket& TcpSocket::operator=(TcpSocket&& other) noexcept {
    if (this != &other) {
        close();
        s_ = std::move(other.s_);
        other.s_ = std::make_unique<State>();
    }
    return *this;
}

TcpSocket::~TcpSocket() {
    if (s_) close();
}

TcpSocket TcpSocket::connect(const Endpoint& to, std::chrono::milliseconds timeout) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    const std::string port = std::to_string(to.port);
    const int rc = getaddrinfo(to.host.c_str(), port.c_str(), &hints, &list);
    if (rc != 0) throw NetError("cannot resolve " + to.host + ": " + gai_strerror(rc));
    std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> guard(list, freeaddrinfo);
    int err = EHOSTUNREACH;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (const addrinfo* ai = list; ai; ai = ai->ai_next) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left <= std::chrono::milliseconds(0)) {
            err = ETIMEDOUT;
            break;
        }
        const int fd = connectOne(ai, left, err);
        if (fd >= 0) return TcpSocket(fd);
    }
    throw NetError("connect to " + to.text() + ": " + errnoText(err));
}

bool TcpSocket::valid() const { return s_->fd >= 0; }

int TcpSocket::fd() const { return s_->fd; }

std::size_t TcpSocket::readSome(char* buffer, std::size_t size) {
    for (;;) {
        const ssize_t n = ::recv(s_->fd, buffer, size, 0);
        if (n >= 0) return static_cast<std::size_t>(n);
        if (errno == EINTR) continue;
        if (errno == ECONNRESET || errno == ENOTCONN || errno == EPIPE) return 0;
        throw NetError("read: " + errnoText(errno));
    }
}

std::string TcpSocket::readExactly(std::size_t count) {
    std::string out(count, '\0');
    std::size_t got = 0;
    while (got < count) {
        const std::size_t n = readSome(out.data() + got, count - got);
        if (n == 0) throw NetError("the stream ended early");
        got += n;
    }
    return out;
}

void TcpSocket::writeAll(std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::send(s_->fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw NetError("write: " + errnoText(errno));
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

void TcpSocket::shutdownWrite() {
    std::lock_guard lock(s_->mutex);
    if (s_->fd >= 0) ::shutdown(s_->fd, SHUT_WR);
}

void TcpSocket::shutdownBoth() {
    std::lock_guard lock(s_->mutex);
    if (s_->fd >= 0) ::shutdown(s_->fd, SHUT_RDWR);
}

void TcpSocket::close() {
    std::lock_guard lock(s_->mutex);
    if (s_->fd >= 0) {
        ::close(s_->fd);
        s_->fd = -1;
    }
}

Endpoint TcpSocket::peer() const {
    sockaddr_storage a{};
    socklen_t len = sizeof a;
    if (getpeername(s_->fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) return {};
    return endpointOf(a);
}

Endpoint TcpSocket::local() const {
    sockaddr_storage a{};
    socklen_t len = sizeof a;
    if (getsockname(s_->fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) return {};
    return endpointOf(a);
}

}  // namespace kavri
