#include "testing/tls_front.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace kavri {
namespace {

constexpr std::string_view notHttpBytes = "this is not an HTTP reply\r\n\r\n";
constexpr std::size_t maxHead = 64 * 1024;

void noDelay(int fd) {
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

sockaddr_in loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    return a;
}

int localPort(int fd) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) return 0;
    return ntohs(a.sin_port);
}

bool sendAll(int fd, const char* data, std::size_t n) {
    while (n > 0) {
        const ssize_t k = send(fd, data, n, MSG_NOSIGNAL);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) return false;
        data += k;
        n -= static_cast<std::size_t>(k);
    }
    return true;
}

bool sslWriteAll(SSL* ssl, const char* data, std::size_t n) {
    while (n > 0) {
        const int k = SSL_write(ssl, data, static_cast<int>(n));
        if (k <= 0) return false;
        data += k;
        n -= static_cast<std::size_t>(k);
    }
    return true;
}

std::string_view trimOWS(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

bool equalsIgnoreCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

}  // namespace

TlsFront::TlsFront(const std::string& certFile, const std::string& keyFile, int backendPort, int port)
    : backendPort_(backendPort) {
    ctx_ = SSL_CTX_new(TLS_server_method());
    if (!ctx_ || SSL_CTX_use_certificate_chain_file(ctx_, certFile.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(ctx_, keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
        if (ctx_) SSL_CTX_free(ctx_);
        throw std::runtime_error("TLS front: cannot load the certificate");
    }
    listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a = loopback(port);
    if (listenFd_ < 0 || bind(listenFd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(listenFd_, 64) != 0) {
        const int err = errno;
        if (listenFd_ >= 0) close(listenFd_);
        SSL_CTX_free(ctx_);
        throw std::runtime_error("cannot listen on 127.0.0.1:" + std::to_string(port) + ": " + std::strerror(err));
    }
    port_ = localPort(listenFd_);
    acceptThread_ = std::thread([this] { acceptLoop(); });
}

TlsFront::~TlsFront() {
    stop();
    close(listenFd_);
    SSL_CTX_free(ctx_);
}

void TlsFront::stop() {
    if (stopped_) return;
    stopped_ = true;
    stopping_ = true;
    shutdown(listenFd_, SHUT_RDWR);  // wakes accept()
    acceptThread_.join();
    {
        std::lock_guard lock(mutex_);
        for (auto& c : connections_) {
            shutdown(c->clientFd, SHUT_RDWR);
            if (c->backendFd >= 0) shutdown(c->backendFd, SHUT_RDWR);
        }
    }
    std::list<std::unique_ptr<Connection>> all;
    {
        std::lock_guard lock(mutex_);
        all.swap(connections_);
    }
    for (auto& c : all) {
        c->thread.join();
        close(c->clientFd);
        if (c->backendFd >= 0) close(c->backendFd);
    }
}

void TlsFront::acceptLoop() {
    while (!stopping_) {
        const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            break;
        }
        noDelay(fd);
        reapFinished();
        std::lock_guard lock(mutex_);
        auto& c = connections_.emplace_back(std::make_unique<Connection>());
        c->clientFd = fd;
        c->thread = std::thread([this, conn = c.get()] { relay(*conn); });
    }
}

void TlsFront::reapFinished() {
    std::list<std::unique_ptr<Connection>> finished;
    {
        std::lock_guard lock(mutex_);
        for (auto it = connections_.begin(); it != connections_.end();) {
            if ((*it)->done) {
                finished.push_back(std::move(*it));
                it = connections_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& c : finished) {
        c->thread.join();
        close(c->clientFd);
        if (c->backendFd >= 0) close(c->backendFd);
    }
}

void TlsFront::relay(Connection& c) {
    // A peer that went away makes writes fail with EPIPE instead of a signal;
    // the signal stays pending on this thread and ends with it.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);

    SSL* ssl = SSL_new(ctx_);
    SSL_set_fd(ssl, c.clientFd);
    if (SSL_accept(ssl) == 1) {
        const int backend = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a = loopback(backendPort_);
        bool connected = backend >= 0 && connect(backend, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        if (backend >= 0) noDelay(backend);
        {
            std::lock_guard lock(mutex_);
            c.backendFd = backend;
            c.backendPeerPort = connected ? localPort(backend) : 0;
            if (connected) byPeerPort_[c.backendPeerPort] = &c;
        }
        if (stopping_) connected = false;

        std::vector<char> buf(64 * 1024);
        pollfd fds[2] = {{c.clientFd, POLLIN, 0}, {backend, POLLIN, 0}};
        while (connected) {
            fds[0].revents = fds[1].revents = 0;
            if (SSL_pending(ssl) > 0) {
                fds[0].revents = POLLIN;
            } else if (poll(fds, 2, -1) < 0) {
                if (errno == EINTR) continue;
                break;
            }
            if (fds[0].revents) {
                const int n = SSL_read(ssl, buf.data(), static_cast<int>(buf.size()));
                if (n <= 0) {
                    const int err = SSL_get_error(ssl, n);
                    if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) continue;
                    break;
                }
                tap(c, buf.data(), static_cast<std::size_t>(n));
                if (!sendAll(backend, buf.data(), static_cast<std::size_t>(n))) break;
            }
            if (fds[1].revents) {
                const ssize_t n = recv(backend, buf.data(), buf.size(), 0);
                if (n <= 0) break;
                Ending how;
                {
                    std::lock_guard lock(mutex_);
                    how = c.ending;
                }
                if (how == Ending::Close) break;  // no reply, no TLS close: the connection just drops
                if (how == Ending::NotHttp) {
                    sslWriteAll(ssl, notHttpBytes.data(), notHttpBytes.size());
                    SSL_shutdown(ssl);
                    break;
                }
                if (how == Ending::CutBody) {
                    c.heldReply.append(buf.data(), static_cast<std::size_t>(n));
                    const auto headEnd = c.heldReply.find("\r\n\r\n");
                    if (headEnd == std::string::npos || c.heldReply.size() < headEnd + 6) continue;
                    const std::size_t bodyStart = headEnd + 4;
                    // The head and half of the body received so far, then the
                    // connection drops without a TLS close.
                    sslWriteAll(ssl, c.heldReply.data(), bodyStart + (c.heldReply.size() - bodyStart) / 2);
                    break;
                }
                if (!sslWriteAll(ssl, buf.data(), static_cast<std::size_t>(n))) break;
            }
        }
    }

    std::function<void()> callback;
    {
        std::lock_guard lock(mutex_);
        c.open = false;
        if (c.backendPeerPort) byPeerPort_.erase(c.backendPeerPort);
        callback = onEnd_;
    }
    shutdown(c.clientFd, SHUT_RDWR);
    if (c.backendFd >= 0) shutdown(c.backendFd, SHUT_RDWR);
    SSL_free(ssl);
    if (callback) callback();
    c.done = true;  // the reaper may free `c` from here on
}

void TlsFront::tap(Connection& c, const char* data, std::size_t n) {
    if (c.stopParsing) return;
    c.unparsed.append(data, n);
    for (;;) {
        if (c.bodyLeft > 0) {
            const std::size_t k = std::min(c.bodyLeft, c.unparsed.size());
            c.unparsed.erase(0, k);
            c.bodyLeft -= k;
            if (c.bodyLeft > 0) return;
        }
        const auto end = c.unparsed.find("\r\n\r\n");
        if (end == std::string::npos) {
            if (c.unparsed.size() > maxHead) c.stopParsing = true;
            return;
        }
        const std::string_view text(c.unparsed.data(), end);
        Head head;
        std::size_t lineStart = 0;
        bool first = true;
        bool chunked = false;
        while (lineStart <= text.size()) {
            auto lineEnd = text.find("\r\n", lineStart);
            if (lineEnd == std::string_view::npos) lineEnd = text.size();
            const std::string_view line = text.substr(lineStart, lineEnd - lineStart);
            if (first) {
                const auto sp1 = line.find(' ');
                const auto sp2 = line.find(' ', sp1 == std::string_view::npos ? line.size() : sp1 + 1);
                head.method = std::string(line.substr(0, sp1));
                if (sp1 != std::string_view::npos)
                    head.target = std::string(line.substr(sp1 + 1, sp2 == std::string_view::npos ? std::string_view::npos
                                                                                                 : sp2 - sp1 - 1));
                first = false;
            } else if (const auto colon = line.find(':'); colon != std::string_view::npos) {
                const std::string name(line.substr(0, colon));
                const std::string value(trimOWS(line.substr(colon + 1)));
                if (equalsIgnoreCase(name, "Content-Length")) c.bodyLeft = std::strtoull(value.c_str(), nullptr, 10);
                if (equalsIgnoreCase(name, "Transfer-Encoding")) chunked = true;
                head.headers.emplace_back(name, value);
            }
            lineStart = lineEnd + 2;
        }
        c.unparsed.erase(0, end + 4);
        {
            std::lock_guard lock(mutex_);
            c.heads.push_back(std::move(head));
        }
        if (chunked) {  // later heads on this connection are not followed
            c.stopParsing = true;
            return;
        }
    }
}

std::optional<TlsFront::Head> TlsFront::takeHead(int backendPeerPort) {
    std::lock_guard lock(mutex_);
    const auto it = byPeerPort_.find(backendPeerPort);
    if (it == byPeerPort_.end() || it->second->heads.empty()) return std::nullopt;
    Head head = std::move(it->second->heads.front());
    it->second->heads.pop_front();
    return head;
}

void TlsFront::endConnection(int backendPeerPort, Ending how) {
    std::lock_guard lock(mutex_);
    if (const auto it = byPeerPort_.find(backendPeerPort); it != byPeerPort_.end()) it->second->ending = how;
}

bool TlsFront::connectionOpen(int backendPeerPort) {
    std::lock_guard lock(mutex_);
    return byPeerPort_.contains(backendPeerPort);
}

void TlsFront::onConnectionEnd(std::function<void()> callback) {
    std::lock_guard lock(mutex_);
    onEnd_ = std::move(callback);
}

}  // namespace kavri
