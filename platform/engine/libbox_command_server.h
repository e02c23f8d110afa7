#pragma once

#include <memory>

namespace kavri {

class ProxyEngine;

// The engine library's command server of one run. resetNetwork() makes the
// engine drop its connections so that new ones are made on the current
// network; once the run is over it does nothing.
class LibboxCommandServer {
public:
    explicit LibboxCommandServer(std::weak_ptr<ProxyEngine> engine) : engine_(std::move(engine)) {}
    virtual ~LibboxCommandServer() = default;

    virtual void resetNetwork();

private:
    std::weak_ptr<ProxyEngine> engine_;
};

}  // namespace kavri
