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
    d.groupMembers = [this](std::stop_token stop) { return clash_.groupState(stop); };
    d.clashSelect = [this](const std::string& member, std::stop_token stop) { return clash_.clashSelect(member, stop); };
    d.setActiveMember = [this](const std::string& member) { group_.noteActive(member); };
    d.heartbeatOnce = [this](const std::string& url, std::int64_t timeoutMs, std::stop_token stop) {
        return clash_.heartbeatOnce(url, timeoutMs, stop);
    };
    d.netChangeStamp = [this] { return run_.lastNetChangeAt(); };
    d.sendEvent = [this](const std::string& name, nlohmann::json fields) {
        sendEventDetached(name, std::nullopt, std::move(fields));
    };
    return d;
}

}  // namespace kavri
