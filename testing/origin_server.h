#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace httplib {
class Server;
}

namespace kavri {

// A plain HTTP origin on a free loopback port, for traffic sent through the
// engine and its members:
//   "/generate_204"  answers 204 (a heartbeat target);
//   "/hello"         answers 200 "hello";
//   "/stream"        an endless download in 16 KiB chunks, as fast as the
//                    client reads, until it goes away.
// Every request path is recorded.
class OriginServer {
public:
    // Serves on `port` (0: a free one).
    explicit OriginServer(int port = 0);
    OriginServer(const OriginServer&) = delete;
    OriginServer& operator=(const OriginServer&) = delete;
    ~OriginServer();

    std::uint16_t port() const { return port_; }
    std::string hostPort() const { return "127.0.0.1:" + std::to_string(port_); }
    std::string url(const std::string& path) const { return "http://" + hostPort() + path; }

    std::vector<std::string> paths() const;
    std::size_t hits(const std::string& path) const;

private:
    void record(const std::string& path);

    std::unique_ptr<httplib::Server> server_;
    std::uint16_t port_ = 0;
    std::thread thread_;
    std::atomic<bool> stopping_{false};
    mutable std::mutex mutex_;
    std::vector<std::string> paths_;
};

}  // namespace kavri
