#include "platform/net/tcp_server.h"

namespace kavri {

TcpServer::TcpServer(std::unique_ptr<TcpListener> listener, Handler handler)
    : listener_(std::move(listener)), handler_(std::move(handler)) {
    acceptLoop_ = Task([this](std::stop_token) {
        while (auto client = listener_->accept()) {
            auto shared = std::make_shared<TcpSocket>(std::move(*client));
            handlers_.spawn([this, shared](std::stop_token stop) { handler_(std::move(*shared), stop); });
        }
    });
}

TcpServer::~TcpServer() { stop(); }

void TcpServer::stop() {
    listener_->close();
    acceptLoop_.cancelAndJoin();
    handlers_.stopAll();
}

}  // namespace kavri
