#include "tunnel/packet_tunnel_provider.h"

#include <cmath>
#include <condition_variable>
#include <future>
#include <nlohmann/json.hpp>

#include "core/detect_config.h"
#include "core/utf8.h"
#include "core/kavri_defaults_key.h"
#include "platform/engine/file_path.h"
#include "platform/network/netlink_path_monitor.h"
#include "platform/runtime/log.h"
#include "platform/runtime/uuid.h"

namespace kavri {
namespace {

using json = nlohmann::json;

KavriStore& storeOf(const ProviderSettings& s) { return s.store ? *s.store : KavriStore::shared(); }

Telemetry::Settings telemetrySettings(const ProviderSettings& s) {
    Telemetry::Settings t;
    t.clashBase = s.controllerBase;
    return t;
}

ClashClientSettings clashSettings(const ProviderSettings& s) {
    ClashClientSettings c;
    c.controllerBase = s.controllerBase + "/";
    return c;
}

// Text of a JSON value as the start-up log shows it.
std::string shown(const json& v) {
    if (v.is_string()) return v.get<std::string>();
    return v.dump();
}

}  // namespace

PacketTunnelProvider::PacketTunnelProvider(ProviderSettings settings)
    : ExtensionProvider(*settings.clock, settings.engine),
      settings_(std::move(settings)),
      clock_(*settings_.clock),
      store_(storeOf(settings_)),
      telemetry_(clock_, store_, telemetrySettings(settings_)),
      clash_(clashSettings(settings_), clock_),
      group_(clock_, store_, clash_, telemetry_, run_, settings_.reloadSettle),
      heal_(clock_, store_, clash_, telemetry_, run_, group_,
            {[this] { return subToken(); }, [this] { return deviceID(); },
             [this](const std::string& config, std::stop_token stop) { hotReload(applyLocalPaths(config), stop); },
             [this](const std::string& config) { learnRuntimeParams(config); },
             [this](const ConfigFetcher::Fetched& fetched) { applyServerTunables(fetched); },
             [this](const std::string& event, const std::optional<std::string>& phase) {
                 sendEventDetached(event, phase);
             },
             [this] {
                 stopAll();
                 cancelTunnelWithError(std::nullopt);
             },
             [this] { return settings_.makePathMonitor(); }},
            settings_.pollLimits),
      stall_(clock_, store_, clash_, telemetry_, run_,
             {[this](std::stop_token stop) { return heal_.poll("stall_shed", true, stop); },
              [this] { return subToken(); }},
             settings_.shedRetrySpacing),
      members_(clock_, store_, clash_, telemetry_, run_, settings_.memberProbeTick),
      telemetryLoop_(clock_, store_, clash_, telemetry_, run_, group_,
                     {[this] { return subToken(); }, [this] { return heal_.currentPath(); },
                      [this] { return heal_.monitoring(); }},
                     {settings_.telemetryFirstDelay, settings_.telemetryInterval, settings_.firstByteProbeLimit,
                      settings_.firstByteRetryPause}),
      rules_(clock_, {settings_.rulesFirstDelay, settings_.rulesInterval, settings_.rulesMissingInterval},
             [this] { return deviceID(); }, [this](std::stop_token stop) { applyNewRules(stop); }) {
    if (!settings_.makePathMonitor)
        settings_.makePathMonitor = [] { return std::make_unique<NetlinkPathMonitor>(); };
    if (settings_.notificationCenter) NotificationCenter::install(settings_.notificationCenter);
}

PacketTunnelProvider::~PacketTunnelProvider() {
    events_.stopAll();
    stopAll();
    spawner_.stopAll();
    reports_.stop();
    joinStoppedTasks();
}

void PacketTunnelProvider::detach(std::function<void(std::stop_token)> work) { spawner_.spawn(std::move(work)); }

void PacketTunnelProvider::postReport(std::function<void(std::stop_token)> work) {
    if (reports_.post(std::move(work))) return;
    const auto dropped = ++reportsDropped_;
    if (dropped == 1 || dropped % 10 == 0)
        Log::line("[Kavri] !! report queue full: " + std::to_string(dropped) + " reports dropped so far");
}

void PacketTunnelProvider::sendEventDetached(const std::string& event, const std::optional<std::string>& failPhase,
                                             Telemetry::Report fields) {
    const auto token = subToken();
    if (!token) return;
    postReport([this, token = *token, event, failPhase, fields = std::move(fields)](std::stop_token stop) {
        telemetry_.sendEvent(token, event, failPhase, fields, stop);
    });
}

std::int64_t PacketTunnelProvider::millisSince(Clock::MonoTime t0) const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(clock_.monoNow() - t0).count();
}

// ---- Platform events ------------------------------------------------------

void PacketTunnelProvider::startTunnel(TunnelOptions options, StartCompletion completion) {
    events_.spawn([this, options = std::move(options), completion = std::move(completion)](std::stop_token) mutable {
        completion(startTunnelBody(std::move(options)));
    });
}

void PacketTunnelProvider::stopTunnel(ProviderStopReason reason, StopCompletion completion) {
    events_.spawn([this, reason, completion = std::move(completion)](std::stop_token) {
        stopTunnelBody(reason);
        completion();
    });
}

void PacketTunnelProvider::wake() { handleWake(); }

// ---- Start ------------------------------------------------------------------

std::optional<std::string> PacketTunnelProvider::startTunnelBody(TunnelOptions options) {
    Log::line("[Kavri] >> startTunnel (тонкий клиент)");
    FilePath::setSharedDirectory(store_.fileURL().parent_path());
    StartTimes times{clock_.monoNow(), 0};

    if (!options.is_object()) options = json::object();
    if (!options.empty()) {
        if (const auto it = options.find("configContent"); it != options.end() && it->is_string()) {
            run_.setRunningConfig(it->get<std::string>());
            options["configContent"] = prepareConfiguration(it->get<std::string>());
        }
    }
    options["ignoreMemoryLimit"] = DetectConfig::current(store_).ignoreMemoryLimit;
    times.configLoadMs = millisSince(times.t0);
    logStartOptions(options);

    telemetry_.update([&](Telemetry::Fields& f) {
        const auto version = options.find("configVersion");
        f.configVersion = std::nullopt;
        if (version != options.end() && version->is_number() && !version->is_boolean()) {
            const double v = version->get<double>();
            if (std::isfinite(v) && std::fabs(v) < 9.2e18) f.configVersion = static_cast<std::int64_t>(v);
        }
        f.deviceID = deviceID(&options);
        f.sessionID = Uuid::make();
    });

    const bool wasDirty = store_.boolValue(KavriDefaultsKey::sessionDirty);
    store_.set(KavriDefaultsKey::sessionDirty, true);
    run_.reopenRun();

    if (const auto token = subToken(&options)) {
        postReport([this, token = *token](std::stop_token stop) {
            Telemetry::Report r = telemetry_.envelope(token);
            r["report"] = "event";
            r["event"] = "connect_start";
            telemetry_.post(r, stop);
        });
        if (wasDirty)
            postReport([this, token = *token](std::stop_token stop) {
                telemetry_.sendEvent(token, "tunnel_stop", std::nullopt,
                                     {{"stop_reason", "system_killed"}, {"user_initiated", false}, {"detected_late", true}},
                                     stop);
            });
    }

    std::promise<std::optional<std::string>> started;
    ExtensionProvider::startTunnel(std::move(options),
                                   [&started](std::optional<std::string> error) { started.set_value(std::move(error)); });
    const auto error = started.get_future().get();
    if (error) return didFailEngineStart(*error, times);
    didStartEngine(times);
    return std::nullopt;
}

void PacketTunnelProvider::didStartEngine(const StartTimes& times) {
    const std::int64_t tunnelUpMs = millisSince(times.t0);
    telemetry_.update([&](Telemetry::Fields& f) { f.handshakeMs = tunnelUpMs; });
    Log::line("[Kavri] >> sing-box СТАРТОВАЛ успешно (" + std::to_string(tunnelUpMs) + " мс)");
    detach([this, configLoadMs = times.configLoadMs, tunnelUpMs](std::stop_token stop) {
        telemetryLoop_.connectReport(configLoadMs, tunnelUpMs, stop);
    });
    detach([this](std::stop_token stop) { clash_.pushEngineTunables(DetectConfig::rawDict(store_), stop); });
    startPathMonitorAndHealLoop();
    if (store_.boolValue(KavriDefaultsKey::pendingConfigRefresh))
        detach([this](std::stop_token stop) { heal_.poll("pending_select", false, stop); });
    {
        std::lock_guard lock(tasksMutex_);
        telemetryLoop_.start(retiredTasks_);
        rules_.start(retiredTasks_);
    }
    startHeartbeat();
    std::lock_guard lock(tasksMutex_);
    stall_.start(retiredTasks_);
    members_.start(retiredTasks_);
}

std::optional<std::string> PacketTunnelProvider::didFailEngineStart(const std::string& error, const StartTimes& times) {
    Log::line("[Kavri] !! ОШИБКА СТАРТА sing-box: " + error);
    store_.set(KavriDefaultsKey::sessionDirty, false);
    if (const auto token = subToken()) {
        Telemetry::Report r = telemetry_.envelope(*token);
        r["report"] = "connect_report";
        r["t_config_loaded_ms"] = times.configLoadMs;
        r["connect_outcome"] = "failed";
        r["retries"] = 0;
        r["trace"] = Utf8::prefix("start: " + error, 400);
        telemetry_.post(r);
    }
    return error;
}

// ---- Stop -------------------------------------------------------------------

std::string PacketTunnelProvider::stopReasonName(int raw) {
    static const char* kNames[] = {"none",           "user_initiated", "provider_failed",   "no_network",
                                   "network_change", "provider_disabled", "auth_canceled",  "config_failed",
                                   "idle_timeout",   "config_disabled",   "config_removed", "superceded",
                                   "user_logout",    "user_switch",       "connection_failed", "sleep",
                                   "app_update"};
    if (raw >= 0 && raw <= 16) return kNames[raw];
    return "unknown(" + std::to_string(raw) + ")";
}

void PacketTunnelProvider::stopTunnelBody(ProviderStopReason reason) {
    const int raw = static_cast<int>(reason);
    const std::string name = stopReasonName(raw);
    store_.set(KavriDefaultsKey::lastStopReason, name);
    store_.set(KavriDefaultsKey::sessionDirty, false);

    if (const auto token = subToken()) {
        // The report races a timer; the stop waits for whichever ends first,
        // then cancels the other and waits for both to end.
        std::stop_source timerStop;
        std::jthread report([&](std::stop_token stop) {
            telemetry_.sendEvent(*token, "tunnel_stop", std::nullopt,
                                 {{"stop_reason", name}, {"user_initiated", raw == 1}}, stop);
            timerStop.request_stop();
        });
        clock_.sleepFor(settings_.stopReportLimit, timerStop.get_token());
        report.request_stop();
        report.join();
    }

    // The run's work ends before the engine: nothing of it reloads the
    // engine or writes the store once the stop has passed.
    stopAll();
    spawner_.stopAll();
    reports_.stop();
    joinStoppedTasks();
    std::promise<void> stopped;
    ExtensionProvider::stopTunnel(reason, [&stopped] { stopped.set_value(); });
    stopped.get_future().get();
}

// ---- Wake -------------------------------------------------------------------

void PacketTunnelProvider::handleWake() {
    ExtensionProvider::wake();
    const auto now = clock_.wallNow();
    const double elapsed = std::chrono::duration<double>(now - run_.noteWake(now)).count();
    const DetectConfig detect = DetectConfig::current(store_);
    if (detect.wakeResetSec < 1 || elapsed < static_cast<double>(detect.wakeResetSec)) return;

    const DetectConfig again = DetectConfig::current(store_);
    const std::string phase = std::to_string(static_cast<std::int64_t>(elapsed));
    const auto lastDownMove = telemetry_.fields().lastDownMoveAt;
    if (again.wakeSkipIfTrafficSec >= 1 && lastDownMove &&
        std::chrono::duration<double>(now - *lastDownMove).count() < static_cast<double>(again.wakeSkipIfTrafficSec)) {
        sendEventDetached("wake_reset_skipped", phase);
        return;
    }
    char secs[32];
    std::snprintf(secs, sizeof secs, "%.0f", elapsed);
    Log::line(std::string("[Kavri] сон ") + secs + " с → рвём соединения");
    sendEventDetached("wake_reset", phase);
    if (const auto server = commandServer()) server->resetNetwork();
}

// ---- Start-up log -----------------------------------------------------------

void PacketTunnelProvider::logStartOptions(const TunnelOptions& options) const {
    const auto token = options.find("subToken");
    if (token != options.end() && token->is_string() && !token->get<std::string>().empty())
        Log::line("[Kavri] subToken в options: есть(" + Utf8::prefix(token->get<std::string>(), 8) +
                  "…) (самолечение включено)");
    else
        Log::line("[Kavri] subToken в options: НЕТ (самолечение НЕ будет работать)");

    const auto content = options.find("configContent");
    if (content == options.end() || !content->is_string()) {
        Log::line("[Kavri] !! configContent ОТСУТСТВУЕТ в options");
        return;
    }
    const std::string& text = content->get_ref<const std::string&>();
    Log::line("[Kavri] configContent: " + std::to_string(text.size()) + " байт");
    const json config = json::parse(text, nullptr, false);
    if (!config.is_object()) {
        Log::line("[Kavri] !! configContent НЕ парсится как JSON");
        return;
    }
    if (const auto route = config.find("route"); route != config.end() && route->is_object()) {
        const auto final = route->find("final");
        Log::line("[Kavri] route.final = " +
                  (final != route->end() && final->is_string() ? final->get<std::string>() : std::string("nil")));
    }
    const auto outbounds = config.find("outbounds");
    if (outbounds == config.end() || !outbounds->is_array() ||
        !std::all_of(outbounds->begin(), outbounds->end(), [](const json& o) { return o.is_object(); })) {
        Log::line("[Kavri] !! в конфиге НЕТ outbounds");
        return;
    }
    auto text_or = [](const json& o, const char* key, const char* fallback) {
        const auto it = o.find(key);
        return it != o.end() && it->is_string() ? it->get<std::string>() : std::string(fallback);
    };
    for (const auto& o : *outbounds) {
        const std::string type = text_or(o, "type", "?");
        const std::string tag = text_or(o, "tag", "?");
        if (type == "selector" || type == "urltest") {
            std::vector<std::string> members;
            if (const auto m = o.find("outbounds"); m != o.end() && m->is_array())
                for (const auto& x : *m)
                    if (x.is_string()) members.push_back(x.get<std::string>());
            std::string list = "[";
            for (std::size_t i = 0; i < members.size(); ++i) list += (i ? ", \"" : "\"") + members[i] + "\"";
            list += "]";
            Log::line("[Kavri] group " + type + " " + tag + " default=" + text_or(o, "default", "-") +
                      " members=" + list);
        } else if (const auto server = o.find("server"); server != o.end()) {
            const auto port = o.find("server_port");
            Log::line("[Kavri] outbound " + type + " " + tag + " -> " + shown(*server) + ":" +
                      (port != o.end() ? shown(*port) : std::string("-")));
        }
    }
}

// ---- Loops ----------------------------------------------------------------------

void PacketTunnelProvider::startPathMonitorAndHealLoop() {
    stopAll();
    std::lock_guard lock(tasksMutex_);
    heal_.start(retiredTasks_);
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

void PacketTunnelProvider::stopAll() {
    std::lock_guard lock(tasksMutex_);
    // Cancelled in this order; none is waited for here, so that a loop may
    // end the run from its own thread while another does the same.
    heal_.cancel(retiredTasks_);
    stall_.cancel(retiredTasks_);
    members_.cancel(retiredTasks_);
    telemetryLoop_.cancel(retiredTasks_);
    rules_.cancel(retiredTasks_);
    if (heartbeat_) {
        heartbeat_->cancel();
        retiredHeartbeats_.push_back(std::move(heartbeat_));
    }
}

void PacketTunnelProvider::joinStoppedTasks() {
    std::vector<Task> tasks;
    std::vector<std::unique_ptr<Heartbeat>> heartbeats;
    {
        std::lock_guard lock(tasksMutex_);
        tasks = std::move(retiredTasks_);
        retiredTasks_.clear();
        heartbeats = std::move(retiredHeartbeats_);
        retiredHeartbeats_.clear();
    }
    for (auto& task : tasks) task.cancelAndJoin();  // never waits on the calling thread
    heartbeats.clear();
}

void PacketTunnelProvider::applyNewRules(std::stop_token stop) {
    const auto config = currentConfigText();
    if (!config) return;
    const auto previousMember = group_.now(stop);
    const std::string prepared = applyLocalPaths(*config);
    try {
        hotReload(prepared, stop);
    } catch (const std::exception& e) {
        if (stop.stop_requested()) return;  // cut short by the run's stop
        Log::line(std::string("[Kavri] rules hot-reload failed: ") + e.what());
        return;
    }
    run_.setRunningConfig(*config);
    group_.reselect(previousMember, stop);
    if (const auto token = subToken()) {
        Telemetry::Report r = telemetry_.envelope(*token);
        r["report"] = "event";
        r["event"] = "rules_refresh";
        telemetry_.post(r, stop);
    }
    Log::line("[Kavri] rules: обновлён union .srs, hot-reload");
}

}  // namespace kavri
