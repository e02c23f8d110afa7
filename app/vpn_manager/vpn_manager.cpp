#include "app/vpn_manager/vpn_manager.h"

#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "api/device_id.h"
#include "api/subscription_meta.h"
#include "core/kavri_constants.h"
#include "core/kavri_defaults_key.h"
#include "core/kavri_token.h"
#include "core/keychain.h"
#include "core/last_resort_surface.h"
#include "core/utf8.h"
#include "platform/ne/tunnel_provider_error.h"
#include "platform/runtime/decimal.h"
#include "platform/runtime/log.h"

namespace kavri {
namespace {

using Kind = VPNManager::Status::Kind;
using Code = TunnelProviderError::Code;

const char* kindName(Kind kind) {
    switch (kind) {
        case Kind::failed: return "failed";
        case Kind::disconnected: return "disconnected";
        case Kind::connecting: return "connecting";
        case Kind::connected: return "connected";
        case Kind::reasserting: return "reasserting";
        case Kind::disconnecting: return "disconnecting";
        case Kind::invalid: return "invalid";
    }
    return "unknown";
}

TunnelProviderEnvironment withDefaults(TunnelProviderEnvironment env) {
    if (env.sharedDirectory.empty()) env.sharedDirectory = KavriStore::directory();
    // A local run names the file its first durnel logs to: every durnel the
    // app starts (on demand, after the last one ended) logs there too,
    // rather than into the app's own log.
    if (!env.durnel.logFile) {
        if (const char* log = std::getenv("KAVRI_DURNEL_LOG"); log && *log) env.durnel.logFile = log;
    }
    return env;
}

void turnOnDemand(TunnelProviderManager& m, bool on) {
    m.edit([on](TunnelProviderProfile& p) {
        p.isOnDemandEnabled = on;
        p.onDemandRules = on ? std::vector<OnDemandRule>{OnDemandRule{}} : std::vector<OnDemandRule>{};
    });
}

// Writes the on-demand setting; a profile saved meanwhile by another writer
// is loaded and written once more. Failures are left to the caller's start
// or stop, which go ahead all the same.
void saveOnDemand(TunnelProviderManager& m, bool on) {
    turnOnDemand(m, on);
    try {
        m.saveToPreferences();
        return;
    } catch (const TunnelProviderError& e) {
        if (e.code() != Code::configurationStale) {
            Log::line(std::string("[Kavri] !! VPN: on-demand not saved: ") + e.what());
            return;
        }
    }
    try {
        m.loadFromPreferences();
        turnOnDemand(m, on);
        m.saveToPreferences();
    } catch (const TunnelProviderError& e) {
        Log::line(std::string("[Kavri] !! VPN: on-demand not saved: ") + e.what());
    }
}

// Only one of the reply, the time-out and a failed send completes a message.
struct ReplyGuard {
    std::mutex mutex;
    std::condition_variable changed;
    bool done = false;
    std::optional<std::string> value;

    void complete(std::optional<std::string> v) {
        std::lock_guard lock(mutex);
        if (done) return;
        done = true;
        value = v;
        changed.notify_all();
    }
};

std::optional<std::int64_t> storedMetadataVersion(std::string_view json) {
    try {
        return SubscriptionMeta::decode(json).version;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

}  // namespace

VPNManager::VPNManager(MainExecutor& main, Deps deps)
    : ObservableStore(main),
      deps_(std::move(deps)),
      store_(deps_.store ? *deps_.store : KavriStore::shared()),
      clock_(deps_.clock ? *deps_.clock : Clock::system()),
      calls_(main) {
    deps_.tunnel = withDefaults(std::move(deps_.tunnel));
    if (!deps_.deviceID) deps_.deviceID = [this] { return DeviceID::current(store_); };
    if (!deps_.metadataVersion) deps_.metadataVersion = storedMetadataVersion;
    if (!deps_.tunnel.clock) deps_.tunnel.clock = &clock_;
    calls_.start([this](StoreCalls::Call& call) {
        try {
            auto all = TunnelProviderManager::loadAllFromPreferences(deps_.tunnel);
            std::shared_ptr<TunnelProviderManager> first = all.empty() ? nullptr : all.front();
            call.onMain([&] {
                manager_ = first;
                updateStatus();
                observe();
                loading_ = false;
            });
        } catch (const TunnelProviderError& e) {
            Log::line(std::string("[Kavri] !! VPN: the profile could not be loaded: ") + e.what());
            call.onMain([&] {
                status = Status::failed(std::string("VPN configuration: ") + e.what());
                loading_ = false;
            });
        }
    });
}

VPNManager::~VPNManager() {
    calls_.cancelAll();
    calls_.waitIdle();
    stopObserving();
}

// ---- Status -----------------------------------------------------------------

void VPNManager::updateStatus(const std::optional<TunnelProviderSession::Snapshot>& reported) {
    const auto connection = manager_ ? manager_->connection() : nullptr;
    if (!connection) {
        connectedSince = std::nullopt;
        if (status->kind != Kind::invalid) Log::line("[Kavri] VPN: status invalid (no profile)");
        status = Status::of(Kind::invalid);
        return;
    }
    const TunnelStatus platformStatus = reported ? reported->status : connection->status();
    const auto connectedDate = reported ? reported->connectedDate : connection->connectedDate();
    Status next;
    switch (platformStatus) {
        case TunnelStatus::invalid: next = Status::of(Kind::invalid); break;
        case TunnelStatus::disconnected: next = Status::of(Kind::disconnected); break;
        case TunnelStatus::connecting: next = Status::of(Kind::connecting); break;
        case TunnelStatus::connected: next = Status::of(Kind::connected); break;
        case TunnelStatus::reasserting: next = Status::of(Kind::reasserting); break;
        case TunnelStatus::disconnecting: next = Status::of(Kind::disconnecting); break;
        default: next = Status::failed("unknown NEVPNStatus"); break;
    }
    // connectedSince first, so that whoever reads both on a status change
    // sees them agree.
    switch (next.kind) {
        case Kind::connected:
            if (connectedDate)
                connectedSince = *connectedDate;
            else
                connectedSince = connectedSince.get() ? connectedSince.get() : clock_.wallNow();
            break;
        case Kind::connecting:
        case Kind::reasserting:
            break;
        default:
            connectedSince = std::nullopt;
    }
    if (next != status.get())
        Log::line(std::string("[Kavri] VPN: status ") + kindName(next.kind) +
                  (next.failure.empty() ? std::string() : ": " + next.failure));
    status = next;
}

void VPNManager::observe() {
    stopObserving();
    const auto connection = manager_ ? manager_->connection() : nullptr;
    if (!connection) return;
    MainExecutor& main = mainExecutor();
    observer_ = connection->observeStatus(
        [&main](std::function<void()> handler) { main.post(std::move(handler)); },
        [this, alive = std::weak_ptr<int>(alive_)](const TunnelProviderSession::Snapshot& reported) {
            if (alive.lock()) updateStatus(reported);
        });
    observed_ = connection;
}

void VPNManager::stopObserving() {
    if (observed_) observed_->removeObserver(observer_);
    observed_.reset();
    observer_ = 0;
}

std::shared_ptr<TunnelProviderManager> VPNManager::currentManager() {
    return mainExecutor().invoke([this] { return manager_; });
}

// ---- Profile ----------------------------------------------------------------

void VPNManager::saveConfiguration(std::string_view config) {
    if (!Utf8::isValid(config)) throw VPNError(VPNError::Kind::invalidConfig);
    const std::string text(config);
    auto manager = mainExecutor().invoke([&] {
        savedConfigJSON_ = text;
        return manager_;
    });
    if (!manager) manager = std::make_shared<TunnelProviderManager>(deps_.tunnel);
    manager->edit([](TunnelProviderProfile& p) {
        p.protocolConfiguration = {KavriConstants::tunnelBundleID, "Kavri Proxy"};
        p.localizedDescription = "Каври";
        p.isEnabled = true;
        // On-demand stays as the profile has it: only connect() turns it on,
        // so a save at start-up does not bring back a tunnel the user stopped.
    });
    manager->saveToPreferences();
    Log::line(text.empty() ? std::string("[Kavri] VPN: profile saved (the stored configuration goes at connect)")
                           : "[Kavri] VPN: profile saved with a configuration of " + std::to_string(text.size()) +
                                 " bytes");
    manager->loadFromPreferences();
    mainExecutor().invoke([&] {
        manager_ = manager;
        updateStatus();
        observe();
    });
}

// ---- Connect and disconnect -------------------------------------------------

bool VPNManager::connect() {
    const auto manager = currentManager();
    if (!manager) throw VPNError(VPNError::Kind::notConfigured);
    const auto connection = manager->connection();
    const TunnelStatus now = connection->status();
    if (now == TunnelStatus::connecting || now == TunnelStatus::connected || now == TunnelStatus::reasserting)
        return false;
    if (!manager->isOnDemandEnabled()) saveOnDemand(*manager, true);

    const TunnelOptions options = startOptions(chooseConfiguration());
    Log::line("[Kavri] VPN: connect");
    try {
        connection->startVPNTunnel(options);
    } catch (const TunnelProviderError& e) {
        if (e.code() != Code::configurationStale) throw;
        Log::line("[Kavri] VPN: the profile was saved elsewhere; loading it again before one more start");
        manager->loadFromPreferences();
        connection->startVPNTunnel(options);
    }
    return true;
}

std::string VPNManager::chooseConfiguration() {
    // An empty saved text counts as none: the stored and built-in
    // configurations come next.
    auto text = mainExecutor().invoke([this] { return savedConfigJSON_; });
    if (text && !text->empty()) return *text;
    if (const auto stored = store_.data(KavriDefaultsKey::cachedSingboxConfig);
        stored && !stored->empty() && Utf8::isValid(*stored))
        return *stored;
    if (const auto fallback = LastResortSurface::config(); fallback && !fallback->empty()) {
        store_.set(KavriDefaultsKey::cachedSingboxConfig, Data{*fallback});
        return *fallback;
    }
    throw VPNError(VPNError::Kind::missingConfigContent);
}

TunnelOptions VPNManager::startOptions(const std::string& configContent) const {
    TunnelOptions options = {{"configContent", configContent},
                             {"systemProxyEnabled", true},
                             {"excludeDefaultRoute", false},
                             {"autoRouteUseSubRangesByDefault", false},
                             {"excludeAPNsRoute", false},
                             {"includeAllNetworks", false}};
    if (const auto token = Keychain::read(Keychain::Item::subToken)) {
        if (std::string bare = KavriToken::bare(*token); !bare.empty()) options["subToken"] = std::move(bare);
    }
    options["deviceID"] = deps_.deviceID();
    if (const auto meta = store_.data(KavriDefaultsKey::cachedSubscriptionMeta)) {
        if (const auto version = deps_.metadataVersion(*meta)) options["configVersion"] = *version;
    }
    return options;
}

void VPNManager::disconnect() {
    const auto manager = currentManager();
    if (!manager) return;
    if (manager->isOnDemandEnabled()) saveOnDemand(*manager, false);
    Log::line("[Kavri] VPN: disconnect");
    manager->connection()->stopVPNTunnel();
}

// ---- Probes -----------------------------------------------------------------

std::optional<std::int64_t> VPNManager::probeRTT(const std::string& host, int port) {
    return parseProbeReply(message("ping:" + host + ":" + std::to_string(port), probeTimeout));
}

bool VPNManager::pollNow() { return message("poll-now", pollTimeout) == std::optional<std::string>("ok"); }

std::optional<std::string> VPNManager::message(const std::string& text, Clock::Duration wait) {
    const auto manager = currentManager();
    const auto connection = manager ? manager->connection() : nullptr;
    if (!connection) return std::nullopt;
    const TunnelStatus now = connection->status();
    if (now != TunnelStatus::connected && now != TunnelStatus::reasserting) return std::nullopt;

    auto guard = std::make_shared<ReplyGuard>();
    try {
        connection->sendProviderMessage(
            text, [guard](std::optional<std::string> reply) { guard->complete(std::move(reply)); });
    } catch (const TunnelProviderError&) {
        return std::nullopt;
    }
    std::jthread timeout([this, guard, wait](std::stop_token stop) {
        if (clock_.sleepFor(wait, stop)) guard->complete(std::nullopt);
    });
    std::unique_lock lock(guard->mutex);
    guard->changed.wait(lock, [&] { return guard->done; });
    return guard->value;  // the time-out thread is stopped and joined on return
}

std::optional<std::int64_t> VPNManager::parseProbeReply(const std::optional<std::string>& reply) {
    if (!reply || reply->empty() || !Utf8::isValid(*reply)) return std::nullopt;
    return Decimal::int64(*reply);
}

}  // namespace kavri
