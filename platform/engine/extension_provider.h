#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>

#include "platform/engine/engine_script.h"
#include "platform/engine/libbox_command_server.h"
#include "platform/engine/proxy_engine.h"
#include "platform/ne/packet_tunnel_provider_base.h"
#include "platform/runtime/clock.h"

namespace kavri {

// The engine framework's packet-tunnel provider: it runs the proxy engine
// inside the tunnel process. The extension's provider derives from it and
// calls these operations; each may be overridden and still called from the
// subclass.
class ExtensionProvider : public PacketTunnelProviderBase {
public:
    explicit ExtensionProvider(Clock& clock = Clock::system(), EngineSettings settings = {});
    ~ExtensionProvider() override;

    // Starts the engine with the option "configContent" (the complete
    // engine configuration text). The completion gets no error once the
    // engine runs; otherwise the reason. Other options are kept as they are.
    void startTunnel(TunnelOptions options, StartCompletion completion) override;
    // Stops the engine; the completion runs once it has stopped.
    void stopTunnel(ProviderStopReason reason, StopCompletion completion) override;
    void wake() override;
    // The framework answers no message of its own: no reply.
    void handleAppMessage(std::string data, MessageCompletion completion) override;

    // The start options of the current (or last) run.
    std::optional<TunnelOptions> tunnelOptions() const;
    // Hands the running engine a new configuration. Throws EngineError when
    // it is refused (invalid, a port taken), no engine runs or `stop` is
    // requested before it takes effect; the previous configuration then
    // stays in force.
    virtual void hotReload(const std::string& configContent, std::stop_token stop = {});
    // The running engine's command server; nothing between runs.
    std::shared_ptr<LibboxCommandServer> commandServer() const;

    // Test hooks of the engine, kept across runs.
    EngineScript& engineScript() { return script_; }
    // The running engine (where its inbounds and controller listen); nothing
    // between runs.
    std::shared_ptr<ProxyEngine> engine() const;

private:
    Clock& clock_;
    EngineSettings settings_;
    EngineScript script_;
    std::mutex lifecycle_;  // start, stop and reload, one at a time
    mutable std::mutex mutex_;
    std::optional<TunnelOptions> options_;
    std::shared_ptr<ProxyEngine> engine_;
    std::shared_ptr<LibboxCommandServer> commandServer_;
};

}  // namespace kavri
