// The network path monitor and the self-heal configuration polling.
#include <exception>

#include "core/control_plane.h"
#include "core/detect_config.h"
#include "core/kavri_defaults_key.h"
#include "core/kavri_http.h"
#include "core/utf8.h"
#include "platform/engine/engine_error.h"
#include "platform/runtime/log.h"
#include "tunnel/account_notices.h"
#include "tunnel/packet_tunnel_provider.h"

namespace kavri {
namespace {

// The error's own words, with the last host's error for an exhausted walk.
std::string describe(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const ControlPlane::Exhausted& e) {
        if (e.lastError) return std::string(e.what()) + ": " + describe(e.lastError);
        return e.what();
    } catch (const ControlPlane::RetryNextHost& e) {
        if (e.underlying) return describe(e.underlying);
        return e.what();
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "unknown error";
    }
}

AccountNotices::Facts factsOf(const ConfigFetcher::Fetched& f) {
    return {f.state, f.priceMonth, f.currency, f.expiresAtUnix, f.trialNotice};
}

}  // namespace

// ---- Path monitor -------------------------------------------------------------

void PacketTunnelProvider::startPathMonitorAndHealLoop() {
    stopAll();
    auto monitor = settings_.makePathMonitor();
    // Touched only by the monitor's reports, which come one at a time.
    auto lastType = std::make_shared<std::optional<NetworkPath::InterfaceType>>();
    monitor->start([this, lastType](const NetworkPath& path) { pathUpdated(path, *lastType); });
    {
        std::lock_guard lock(tasksMutex_);
        pathMonitor_ = std::move(monitor);
    }
    restartTask(healTask_, [this](std::stop_token stop) { healLoop(stop); });
}

void PacketTunnelProvider::pathUpdated(const NetworkPath& path, std::optional<NetworkPath::InterfaceType>& lastType) {
    const auto kind = networkType(path);
    telemetry_.update([&](Telemetry::Fields& f) {
        f.pathSatisfied = path.status == NetworkPath::Status::satisfied;
        f.networkType = kind;
        f.radioTech = kind == "wifi" ? std::optional<std::string>("wifi") : std::nullopt;
    });
    std::optional<NetworkPath::InterfaceType> primary;
    if (!path.availableInterfaces.empty()) primary = path.availableInterfaces.front().type;
    if (lastType && lastType != primary) noteNetChange();
    lastType = primary;
}

void PacketTunnelProvider::noteNetChange() {
    const auto now = clock_.wallNow();
    run_.noteNetChange(now);
    telemetry_.update([&](Telemetry::Fields& f) {
        f.pathChangedAt = now;
        f.pathChangesSinceLast += 1;
    });
}

Clock::WallTime PacketTunnelProvider::lastNetChangeAt() const { return run_.lastNetChangeAt(); }

// ---- Self-heal loop -------------------------------------------------------------

std::chrono::seconds PacketTunnelProvider::healInterval(std::int64_t configPollSec, std::int64_t serverIntervalSec) {
    if (serverIntervalSec >= 20 && serverIntervalSec < configPollSec) return std::chrono::seconds(serverIntervalSec);
    return std::chrono::seconds(configPollSec);
}

void PacketTunnelProvider::healLoop(std::stop_token stop) {
    while (!stop.stop_requested()) {
        const auto interval = healInterval(DetectConfig::current(store_).configPollSec,
                                           store_.integer(KavriDefaultsKey::nePollIntervalSec));
        clock_.sleepFor(interval, stop);  // cut short only by the stop
        if (stop.stop_requested()) return;
        selfHealPoll("interval", false, stop);
    }
}

void PacketTunnelProvider::resetPollThrottle() { run_.resetPollThrottle(); }

// ---- Self-heal poll ---------------------------------------------------------------

bool PacketTunnelProvider::selfHealPoll(const std::string& reason, bool shed, std::stop_token stop) {
    if (!run_.beginPoll(clock_.wallNow())) return false;

    const auto token = subToken();
    if (!token) {
        Log::line("[Kavri] self-heal: НЕТ sub-токена — поллинг невозможен");
        return false;
    }
    const auto device = deviceID();

    ConfigFetcher::Fetched fetched;
    try {
        fetched = ConfigFetcher::fetch(*token, device, shed, false, false, KavriHTTP::api(), stop,
                                       settings_.pollLimits, clock_, store_);
    } catch (const ConfigFetcher::FetchError& e) {
        if (e.kind() == ConfigFetcher::FetchError::Kind::Http && e.status() >= 401 && e.status() <= 403) {
            // Polls that meet it together end the run once.
            if (!run_.claimRunEnd()) return false;
            Log::line("[Kavri] подписка недействительна (HTTP " + std::to_string(e.status()) +
                      ") — останавливаем туннель");
            telemetry_.sendEvent(*token, "sub_invalid", std::to_string(e.status()), Telemetry::Report::object(), stop);
            stopAll();
            cancelTunnelWithError(std::nullopt);
            return false;
        }
        Log::line("[Kavri] self-heal fetch failed (" + reason + "), keep last-good: " + e.what());
        return false;
    } catch (...) {
        Log::line("[Kavri] self-heal fetch failed (" + reason + "), keep last-good: " +
                  describe(std::current_exception()));
        return false;
    }

    // The run is stopping: a reply that came in meanwhile changes nothing.
    if (stop.stop_requested()) return false;

    // Taken whatever the new text turns out to be.
    store_.set(KavriDefaultsKey::configAppliedAt, clock_.wallNow());
    store_.set(KavriDefaultsKey::pendingConfigRefresh, false);
    {
        AccountNotices notices(store_, clock_);
        notices.postChargeFailedNotice(factsOf(fetched));
        notices.postTrialNotice(factsOf(fetched));
    }
    applyServerTunables(fetched);

    const bool plausible = isPlausibleConfig(fetched.config);
    std::optional<std::string> previousMember;
    bool fresh = false;  // a new epoch: applied without comparison or re-selection
    if (fetched.configEpoch && store_.integer(KavriDefaultsKey::configEpoch) < *fetched.configEpoch) {
        store_.set(KavriDefaultsKey::configEpoch, *fetched.configEpoch);
        // The stored last-good text is replaced only once the new one runs
        // (below): until then it is what the tunnel falls back on.
        Log::line("[Kavri] config_epoch вырос → кэш last-good выброшен, применяем свежий безусловно");
        fresh = true;
    }

    if (!fresh && !shed) {
        // Nothing to do only when the engine runs this text too: the app may
        // have stored it already without the tunnel taking it.
        if (const auto stored = store_.data(KavriDefaultsKey::cachedSingboxConfig);
            stored && Utf8::isValid(*stored) && *stored == fetched.config && run_.runs(fetched.config))
            return true;
    }

    if (!plausible) {
        Log::line("[Kavri] self-heal: new config implausible, keep last-good");
        sendEventDetached("config_refresh_fail", "implausible");
        return false;
    }
    if (!fresh)
        if (const auto state = probeGroupState(stop)) previousMember = state->now;

    try {
        hotReload(applyLocalPaths(fetched.config), stop);
    } catch (const std::exception& e) {
        if (stop.stop_requested()) return false;  // cut short by the run's stop
        Log::line(std::string("[Kavri] self-heal: hotReload failed, keep last-good: ") + e.what());
        sendEventDetached("config_refresh_fail", "hot_reload");
        return false;
    }

    run_.setRunningConfig(fetched.config);
    store_.set(KavriDefaultsKey::cachedSingboxConfig, Data{fetched.config});
    learnRuntimeParams(fetched.config);
    reloadEngine(previousMember, stop);
    if (stop.stop_requested()) return true;  // the run's connections end with it; nothing more to report
    clash_.closeAllConnections(stop);
    Log::line("[Kavri] self-heal: hot-reloaded new config (" + reason + ") + сброс старых соединений");
    sendEventDetached("config_refresh_ok");
    return true;
}

}  // namespace kavri
