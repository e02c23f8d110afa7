#pragma once

#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "platform/ne/provider_stop_reason.h"
#include "platform/ne/tunnel_options.h"

namespace kavri {

// The system's side of a packet-tunnel provider: the tunnel host (the durnel
// process's control server) creates one provider and calls these operations
// for the events of a tunnel run. Completions may be called on any thread.
class PacketTunnelProviderBase {
public:
    using StartCompletion = std::function<void(std::optional<std::string> error)>;
    using StopCompletion = std::function<void()>;
    using MessageCompletion = std::function<void(std::optional<std::string> reply)>;
    using CancelHandler = std::function<void(std::optional<std::string> error)>;

    virtual ~PacketTunnelProviderBase() = default;

    virtual void startTunnel(TunnelOptions options, StartCompletion completion) = 0;
    virtual void stopTunnel(ProviderStopReason reason, StopCompletion completion) = 0;
    virtual void wake() {}
    virtual void handleAppMessage(std::string /*data*/, MessageCompletion completion) { completion(std::nullopt); }

    // The provider ends the tunnel on its own (for instance a revoked
    // subscription); the host then stops the run with providerFailed.
    void cancelTunnelWithError(std::optional<std::string> error) {
        CancelHandler handler;
        {
            std::lock_guard lock(cancelMutex_);
            handler = cancelHandler_;
        }
        if (handler) handler(std::move(error));
    }
    // Installed by the tunnel host.
    void setCancelHandler(CancelHandler handler) {
        std::lock_guard lock(cancelMutex_);
        cancelHandler_ = std::move(handler);
    }

private:
    std::mutex cancelMutex_;
    CancelHandler cancelHandler_;
};

}  // namespace kavri
