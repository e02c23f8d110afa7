#pragma once

#include <functional>
#include <memory>
#include <stop_token>

#include "platform/net/tcp_listener.h"
#include "platform/runtime/spawner.h"
#include "platform/runtime/task.h"

namespace kavri {

// A listener whose connections are each served on a thread of their own.
// stop() closes the listener, asks every handler to stop (through its stop
// token) and waits for all of them.
class TcpServer {
public:
    using Handler = std::function<void(TcpSocket client, std::stop_token stop)>;

    TcpServer(std::unique_ptr<TcpListener> listener, Handler handler);
    TcpServer(const TcpServer&) = delete;
    TcpServer& operator=(const TcpServer&) = delete;
    ~TcpServer();

    const TcpListener& listener() const { return *listener_; }
    void stop();

private:
    std::unique_ptr<TcpListener> listener_;
    Handler handler_;
    Spawner handlers_;
    Task acceptLoop_;
};

}  // namespace kavri
