#include "testing/origin_server.h"

#include <httplib.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>

#include "platform/engine/http_server_tables.h"

namespace kavri {

OriginServer::OriginServer(int requestedPort) : server_(std::make_unique<httplib::Server>()) {
    buildHttpServerTables();  // before this server's threads start
    httplib::Server& s = *server_;
    // A reader that stops reading for this long loses its stream; keeps the
    // teardown of a test with an abandoned download short.
    s.set_write_timeout(2, 0);
    s.Get("/generate_204", [this](const httplib::Request& req, httplib::Response& res) {
        record(req.path);
        res.status = 204;
    });
    s.Get("/hello", [this](const httplib::Request& req, httplib::Response& res) {
        record(req.path);
        res.set_content("hello", "text/plain");
    });
    s.Get("/stream", [this](const httplib::Request& req, httplib::Response& res) {
        record(req.path);
        res.set_chunked_content_provider("application/octet-stream", [this](std::size_t, httplib::DataSink& sink) {
            static const std::string chunk(16 * 1024, 'x');
            return !stopping_ && sink.write(chunk.data(), chunk.size());
        });
    });
    // Without the library's default SO_REUSEPORT, so that a port another
    // program listens on is refused rather than shared.
    s.set_socket_options([](int sock) {
        const int one = 1;
        ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    });
    errno = 0;
    const int port = requestedPort == 0 ? s.bind_to_any_port("127.0.0.1")
                                        : (s.bind_to_port("127.0.0.1", requestedPort) ? requestedPort : -1);
    if (port <= 0) {
        const int err = errno;
        throw std::runtime_error("cannot listen on 127.0.0.1:" + std::to_string(requestedPort) +
                                 (err ? std::string(": ") + std::strerror(err) : std::string()));
    }
    port_ = static_cast<std::uint16_t>(port);
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    while (!server_->is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

OriginServer::~OriginServer() {
    stopping_ = true;
    server_->stop();
    thread_.join();
}

void OriginServer::record(const std::string& path) {
    std::lock_guard lock(mutex_);
    paths_.push_back(path);
}

std::vector<std::string> OriginServer::paths() const {
    std::lock_guard lock(mutex_);
    return paths_;
}

std::size_t OriginServer::hits(const std::string& path) const {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(std::count(paths_.begin(), paths_.end(), path));
}

}  // namespace kavri
