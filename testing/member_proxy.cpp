#include "testing/member_proxy.h"

#include <sys/socket.h>

#include <algorithm>
#include <array>

#include "platform/net/byte_relay.h"
#include "platform/net/net_error.h"
#include "platform/net/proxy_request_head.h"
#include "platform/net/socks5.h"
#include "platform/net/tcp_listener.h"

namespace kavri {

// A client and its upstream, closable from the killing thread.
struct MemberProxy::Link {
    std::mutex mutex;
    bool closed = false;
    TcpSocket client;
    TcpSocket upstream;

    explicit Link(TcpSocket c) : client(std::move(c)) {}
    void setUpstream(TcpSocket s) {
        std::lock_guard lock(mutex);
        upstream = std::move(s);
        if (closed) upstream.shutdownBoth();
    }
    void close() {
        std::lock_guard lock(mutex);
        closed = true;
        client.shutdownBoth();
        upstream.shutdownBoth();
    }
};

namespace {

constexpr auto dialTimeout = std::chrono::seconds(5);

void replyStatus(TcpSocket& client, const std::string& statusLine) {
    try {
        client.writeAll("HTTP/1.1 " + statusLine + "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    } catch (const NetError&) {
    }
}

// Closes with a reset, as a host with nothing on the port answers.
void reset(TcpSocket& socket) {
    const linger abort{1, 0};
    setsockopt(socket.fd(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    socket.close();
}

}  // namespace

MemberProxy::MemberProxy(std::uint16_t port) {
    auto listener = std::make_unique<TcpListener>("127.0.0.1", port);
    port_ = listener->port();
    server_ = std::make_unique<TcpServer>(std::move(listener),
                                          [this](TcpSocket client, std::stop_token stop) { serve(std::move(client), stop); });
}

MemberProxy::~MemberProxy() { server_->stop(); }

void MemberProxy::stop() {
    std::vector<std::shared_ptr<Link>> links;
    {
        std::lock_guard lock(mutex_);
        killed_ = true;
        links = live_;
    }
    unstalled_.notify_all();
    for (const auto& l : links) l->close();
}

void MemberProxy::start() {
    std::lock_guard lock(mutex_);
    killed_ = false;
}

bool MemberProxy::running() const {
    std::lock_guard lock(mutex_);
    return !killed_;
}

void MemberProxy::setStalled(bool stalled) {
    {
        std::lock_guard lock(mutex_);
        stalled_ = stalled;
    }
    unstalled_.notify_all();
}

std::vector<MemberProxy::Request> MemberProxy::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

std::size_t MemberProxy::requestCount() const {
    std::lock_guard lock(mutex_);
    return requests_.size();
}

bool MemberProxy::sawTarget(std::string_view fragment) const {
    std::lock_guard lock(mutex_);
    return std::any_of(requests_.begin(), requests_.end(),
                       [&](const Request& r) { return r.target.find(fragment) != std::string::npos; });
}

void MemberProxy::clearRequests() {
    std::lock_guard lock(mutex_);
    requests_.clear();
}

std::uint64_t MemberProxy::bytesRelayed() const {
    std::lock_guard lock(mutex_);
    return bytes_;
}

std::size_t MemberProxy::liveConnections() const {
    std::lock_guard lock(mutex_);
    return live_.size();
}

void MemberProxy::record(Request request) {
    std::lock_guard lock(mutex_);
    requests_.push_back(std::move(request));
}

bool MemberProxy::waitWhileStalled(std::stop_token stop) {
    std::unique_lock lock(mutex_);
    unstalled_.wait(lock, stop, [&] { return !stalled_ || killed_; });
    return !stop.stop_requested() && !killed_;
}

void MemberProxy::serve(TcpSocket socket, std::stop_token stop) {
    auto link = std::make_shared<Link>(std::move(socket));
    {
        std::lock_guard lock(mutex_);
        if (killed_) return reset(link->client);
        live_.push_back(link);
    }
    std::stop_callback onStop(stop, [link] { link->close(); });
    relay(link, stop);
    std::lock_guard lock(mutex_);
    live_.erase(std::find(live_.begin(), live_.end(), link));
}

void MemberProxy::relay(const std::shared_ptr<Link>& link, std::stop_token stop) {
    try {
        std::array<char, 4096> first{};
        const std::size_t n = link->client.readSome(first.data(), first.size());
        if (n == 0) return;
        const std::string initial(first.data(), n);
        if (initial[0] == '\x05') {
            const auto to = Socks5::readConnectRequest(link->client, initial);
            if (!to) return;
            record({"SOCKS5", to->text()});
            try {
                link->setUpstream(TcpSocket::connect(*to, dialTimeout));
            } catch (const NetError&) {
                return Socks5::reply(link->client, false);
            }
            Socks5::reply(link->client, true);
        } else {
            const auto head = ProxyRequestHead::read(link->client, initial);
            if (!head) return;
            record({head->method, head->target});
            const auto to = head->destination();
            if (!to) return replyStatus(link->client, "400 Bad Request");
            try {
                link->setUpstream(TcpSocket::connect(*to, dialTimeout));
            } catch (const NetError&) {
                return replyStatus(link->client, "502 Bad Gateway");
            }
            if (head->isConnect()) {
                link->client.writeAll("HTTP/1.1 200 Connection established\r\n\r\n");
                if (!head->body.empty()) link->upstream.writeAll(head->body);
            } else {
                link->upstream.writeAll(head->forward(false));
            }
        }
        ByteRelay::Hooks hooks;
        const auto count = [this](std::size_t bytes) {
            std::lock_guard lock(mutex_);
            bytes_ += bytes;
        };
        hooks.onUpload = count;
        hooks.onDownload = count;
        hooks.beforeMove = [this, stop] { return waitWhileStalled(stop); };
        ByteRelay::run(link->client, link->upstream, hooks);
    } catch (const NetError&) {
    }
}

}  // namespace kavri
