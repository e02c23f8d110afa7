#pragma once

#include <functional>
#include <optional>

#include "platform/network/network_path.h"

namespace kavri {

// Watches the network path and reports every change to a handler, on a
// thread of the monitor's own.
class PathMonitor {
public:
    using Handler = std::function<void(const NetworkPath&)>;
    virtual ~PathMonitor() = default;
    // Installs the handler and starts watching; the current path is reported
    // first. Call once.
    virtual void start(Handler handler) = 0;
    // Stops watching; no handler call starts after it returns.
    virtual void cancel() = 0;
    // The last path reported, if any.
    virtual std::optional<NetworkPath> currentPath() const = 0;
};

}  // namespace kavri
