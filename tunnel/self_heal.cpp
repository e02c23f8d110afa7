#include "tunnel/self_heal.h"

#include <algorithm>
#include <exception>
#include <utility>

#include "core/control_plane.h"
#include "core/detect_config.h"
#include "core/kavri_defaults_key.h"
#include "core/kavri_http.h"
#include "core/utf8.h"
#include "platform/runtime/log.h"
#include "tunnel/account_notices.h"

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

SelfHeal::SelfHeal(Clock& clock, KavriStore& store, ClashClient& clash, Telemetry& telemetry, RunState& run,
                   GroupTracker& group, Ports ports, ConfigFetcher::Limits pollLimits)
    : clock_(clock),
      store_(store),
      clash_(clash),
      telemetry_(telemetry),
      run_(run),
      group_(group),
      ports_(std::move(ports)),
      pollLimits_(std::move(pollLimits)) {}

// ---- Path monitor and loop ------------------------------------------------------

void SelfHeal::start(std::vector<Task>& retired) {
    cancel(retired);
    auto monitor = ports_.makePathMonitor();
    // Touched only by the monitor's reports, which come one at a time.
    auto lastType = std::make_shared<std::optional<NetworkPath::InterfaceType>>();
    monitor->start([this, lastType](const NetworkPath& path) { pathUpdated(path, *lastType); });
    std::lock_guard lock(mutex_);
    monitor_ = std::move(monitor);
    task_ = Task([this](std::stop_token stop) { loop(stop); });
}

void SelfHeal::cancel(std::vector<Task>& retired) {
    std::lock_guard lock(mutex_);
    task_.retireInto(retired);
    if (monitor_) monitor_->cancel();
    monitor_.reset();
}

std::optional<NetworkPath> SelfHeal::currentPath() const {
    std::lock_guard lock(mutex_);
    if (!monitor_) return std::nullopt;
    return monitor_->currentPath();
}

bool SelfHeal::monitoring() const {
    std::lock_guard lock(mutex_);
    return monitor_ != nullptr;
}

void SelfHeal::pathUpdated(const NetworkPath& path, std::optional<NetworkPath::InterfaceType>& lastType) {
    const auto kind = Telemetry::networkType(path);
    telemetry_.update([&](Telemetry::Fields& f) {
        f.pathSatisfied = path.status == NetworkPath::Status::satisfied;
        f.networkType = kind;
        f.radioTech = kind == "wifi" ? std::optional<std::string>("wifi") : std::nullopt;
    });
    std::optional<NetworkPath::InterfaceType> primary;
    if (!path.availableInterfaces.empty()) primary = path.availableInterfaces.front().type;
    if (lastType && lastType != primary) {
        // A change of the primary interface.
        const auto now = clock_.wallNow();
        run_.noteNetChange(now);
        telemetry_.update([&](Telemetry::Fields& f) {
            f.pathChangedAt = now;
            f.pathChangesSinceLast += 1;
        });
    }
    lastType = primary;
}

bool SelfHeal::isPlausibleConfig(const std::string& config) {
    if (config.size() <= 200) return false;
    const nlohmann::json root = nlohmann::json::parse(config, nullptr, false);
    if (!root.is_object()) return false;
    const auto outbounds = root.find("outbounds");
    if (outbounds == root.end() || !outbounds->is_array() || outbounds->empty() ||
        !std::all_of(outbounds->begin(), outbounds->end(), [](const nlohmann::json& o) { return o.is_object(); }))
        return false;
    const auto route = root.find("route");
    return route != root.end() && route->is_object();
}

std::chrono::seconds SelfHeal::interval(std::int64_t configPollSec, std::int64_t serverIntervalSec) {
    if (serverIntervalSec >= 20 && serverIntervalSec < configPollSec) return std::chrono::seconds(serverIntervalSec);
    return std::chrono::seconds(configPollSec);
}

void SelfHeal::loop(std::stop_token stop) {
    while (!stop.stop_requested()) {
        const auto wait = interval(DetectConfig::current(store_).configPollSec,
                                   store_.integer(KavriDefaultsKey::nePollIntervalSec));
        clock_.sleepFor(wait, stop);  // cut short only by the stop
        if (stop.stop_requested()) return;
        poll("interval", false, stop);
    }
}

// ---- Poll -------------------------------------------------------------------------

bool SelfHeal::poll(const std::string& reason, bool shed, std::stop_token stop) {
    if (!run_.beginPoll(clock_.wallNow())) return false;

    const auto token = ports_.subToken();
    if (!token) {
        Log::line("[Kavri] self-heal: НЕТ sub-токена — поллинг невозможен");
        return false;
    }
    const auto device = ports_.deviceID();

    ConfigFetcher::Fetched fetched;
    try {
        fetched = ConfigFetcher::fetch(*token, device, shed, false, false, KavriHTTP::api(), stop, pollLimits_,
                                       clock_, store_);
    } catch (const ConfigFetcher::FetchError& e) {
        if (e.kind() == ConfigFetcher::FetchError::Kind::Http && e.status() >= 401 && e.status() <= 403) {
            // Polls that meet it together end the run once.
            if (!run_.claimRunEnd()) return false;
            Log::line("[Kavri] подписка недействительна (HTTP " + std::to_string(e.status()) +
                      ") — останавливаем туннель");
            telemetry_.sendEvent(*token, "sub_invalid", std::to_string(e.status()), Telemetry::Report::object(), stop);
            ports_.endRun();
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
    ports_.applyTunables(fetched);

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
        ports_.sendEvent("config_refresh_fail", "implausible");
        return false;
    }
    if (!fresh) previousMember = group_.now(stop);

    try {
        ports_.reload(fetched.config, stop);
    } catch (const std::exception& e) {
        if (stop.stop_requested()) return false;  // cut short by the run's stop
        Log::line(std::string("[Kavri] self-heal: hotReload failed, keep last-good: ") + e.what());
        ports_.sendEvent("config_refresh_fail", "hot_reload");
        return false;
    }

    run_.setRunningConfig(fetched.config);
    store_.set(KavriDefaultsKey::cachedSingboxConfig, Data{fetched.config});
    ports_.learn(fetched.config);
    group_.reselect(previousMember, stop);
    if (stop.stop_requested()) return true;  // the run's connections end with it; nothing more to report
    clash_.closeAllConnections(stop);
    Log::line("[Kavri] self-heal: hot-reloaded new config (" + reason + ") + сброс старых соединений");
    ports_.sendEvent("config_refresh_ok", std::nullopt);
    return true;
}

}  // namespace kavri
