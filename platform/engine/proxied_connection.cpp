#include "platform/engine/proxied_connection.h"

namespace kavri {

void ProxiedConnection::setUpstream(TcpSocket upstream) {
    std::lock_guard lock(mutex_);
    upstream_ = std::move(upstream);
    if (closed_) upstream_.shutdownBoth();
}

void ProxiedConnection::close() {
    std::lock_guard lock(mutex_);
    closed_ = true;
    client_.shutdownBoth();
    upstream_.shutdownBoth();
}

bool ProxiedConnection::closed() const {
    std::lock_guard lock(mutex_);
    return closed_;
}

}  // namespace kavri
