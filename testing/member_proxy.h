#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <stop_token>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/net/tcp_server.h"

namespace kavri {

// A small forward proxy on a free loopback port, to stand behind the engine
// as a group member in tests and local runs. It speaks HTTP (absolute-form
// requests and CONNECT) and SOCKS5 (CONNECT, no authentication), records
// every request, can be killed (stop) and brought back on the same port
// (start), and can stall: connections stay open but no byte moves.
//
// A killed proxy keeps its port, so that no other program can take it in
// the meantime, and resets every connection made to it at once: to its
// clients it is as dead as a closed port.
class MemberProxy {
public:
    struct Request {
        std::string method;  // "GET", "CONNECT", ... or "SOCKS5"
        std::string target;  // as requested: absolute URL or host:port
    };

    // Starts serving at once, on `port` (0: a free one).
    explicit MemberProxy(std::uint16_t port = 0);
    MemberProxy(const MemberProxy&) = delete;
    MemberProxy& operator=(const MemberProxy&) = delete;
    ~MemberProxy();

    std::uint16_t port() const { return port_; }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }

    // Kills the proxy: every live connection closes, new ones are reset.
    void stop();
    // Serves again, on the same port.
    void start();
    bool running() const;

    void setStalled(bool stalled);

    std::vector<Request> requests() const;
    std::size_t requestCount() const;
    // Whether some request's target contains `fragment`.
    bool sawTarget(std::string_view fragment) const;
    void clearRequests();
    std::uint64_t bytesRelayed() const;
    std::size_t liveConnections() const;

private:
    struct Link;
    void serve(TcpSocket client, std::stop_token stop);
    void relay(const std::shared_ptr<Link>& link, std::stop_token stop);
    void record(Request request);
    bool waitWhileStalled(std::stop_token stop);

    std::uint16_t port_ = 0;
    std::unique_ptr<TcpServer> server_;
    mutable std::mutex mutex_;
    std::condition_variable_any unstalled_;
    bool killed_ = false;
    bool stalled_ = false;
    std::vector<Request> requests_;
    std::uint64_t bytes_ = 0;
    std::vector<std::shared_ptr<Link>> live_;
};

}  // namespace kavri
