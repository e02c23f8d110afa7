// The member heartbeat's view of the provider.
#include "core/detect_config.h"
#include "core/kavri_defaults_key.h"
#include "tunnel/packet_tunnel_provider.h"

namespace kavri {

KavriHeartbeatDeps PacketTunnelProvider::makeHeartbeatDeps() {
    KavriHeartbeatDeps d;
    d.cfg = [this] {
        DetectConfig cfg = DetectConfig::current(store_);
        if (!clash_.hbInboundPresent()) cfg.enabled = false;
        return cfg;
    };
    d.appState = [&store = store_] { return store.string(KavriDefaultsKey::appState); };
    d.groupMembers = [this](std::stop_token stop) -> std::optional<KavriHeartbeatDeps::Group> {
        auto state = probeGroupState(stop);
        if (!state) return std::nullopt;
        return KavriHeartbeatDeps::Group{std::move(state->members), std::move(state->now), std::move(state->type)};
    };
    d.clashSelect = [this](const std::string& member, std::stop_token stop) { return clash_.clashSelect(member, stop); };
    d.setActiveMember = [this](const std::string& member) {
        if (!run_.setActiveMember(member)) return;
        telemetry_.update([&](Telemetry::Fields& f) { f.activeMember = member; });
    };
    d.heartbeatOnce = [this](const std::string& url, std::int64_t timeoutMs, std::stop_token stop) {
        return clash_.heartbeatOnce(url, timeoutMs, stop);
    };
    d.netChangeStamp = [this] { return lastNetChangeAt(); };
    d.sendEvent = [this](const std::string& name, nlohmann::json fields) {
        sendEventDetached(name, std::nullopt, std::move(fields));
    };
    return d;
}

void PacketTunnelProvider::startHeartbeat() {
    std::unique_ptr<Heartbeat> previous;
    {
        std::lock_guard lock(tasksMutex_);
        previous = std::move(heartbeat_);
    }
    previous.reset();  // stopped and joined before the new one beats
    auto heartbeat = std::make_unique<Heartbeat>(
        makeHeartbeatDeps(), clock_, Heartbeat::Timing{settings_.heartbeatTick, settings_.heartbeatDisabledWait});
    std::lock_guard lock(tasksMutex_);
    heartbeat_ = std::move(heartbeat);
    heartbeat_->start();
}

void PacketTunnelProvider::pulseHeartbeat() {
    std::lock_guard lock(tasksMutex_);
    if (heartbeat_) heartbeat_->pulse();
}

}  // namespace kavri
