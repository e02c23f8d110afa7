#pragma once

#include <memory>
#include <string>
#include <thread>

#include "platform/net/endpoint.h"

namespace httplib {
class Server;
}

namespace kavri {

class ProxyEngine;

// The engine's clash-style HTTP controller on loopback: proxies and group
// selection, delay tests, the connection table, and the engine's own
// "kavri/config", "kavri/diag" and "kavri/stall_dump". A non-empty secret
// is required as "Authorization: Bearer <secret>" (401 otherwise).
class ClashController {
public:
    // Binds at once (port 0 takes a free one); throws EngineError when the
    // address cannot be had. Serving begins with start().
    ClashController(ProxyEngine& engine, const Endpoint& address);
    ClashController(const ClashController&) = delete;
    ClashController& operator=(const ClashController&) = delete;
    ~ClashController();

    void start();
    void stop();
    const Endpoint& address() const { return address_; }

private:
    void route();

    ProxyEngine& engine_;
    Endpoint address_;
    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
};

}  // namespace kavri
