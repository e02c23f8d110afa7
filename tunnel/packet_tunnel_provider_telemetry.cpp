// The telemetry task, the connect report and the rule-set refresh.
#include <chrono>
#include <exception>
#include <functional>

#include "core/detect_config.h"
#include "core/utf8.h"
#include "platform/runtime/log.h"
#include "tunnel/packet_tunnel_provider.h"

namespace kavri {
namespace {

// The provider's path monitor as a stall dump sees it: each read asks the
// provider for the path in force, so a monitor replaced or ended meanwhile
// is never touched.
class ProviderPathView final : public PathMonitor {
public:
    explicit ProviderPathView(std::function<std::optional<NetworkPath>()> read) : read_(std::move(read)) {}
    void start(Handler) override {}
    void cancel() override {}
    std::optional<NetworkPath> currentPath() const override { return read_(); }

private:
    std::function<std::optional<NetworkPath>()> read_;
};

}  // namespace

// ---- Telemetry task -----------------------------------------------------------

void PacketTunnelProvider::startTelemetryTask() {
    restartTask(telemetryTask_, [this](std::stop_token stop) { telemetryLoop(stop); });
}

void PacketTunnelProvider::telemetryLoop(std::stop_token stop) {
    if (stop.stop_requested()) return;
    std::int64_t cycle = 0;  // cycles that had a token
    clock_.sleepFor(settings_.telemetryFirstDelay, stop);
    for (;;) {
        if (stop.stop_requested()) return;
        if (const auto token = subToken()) {
            updateNetworkType();
            const std::int64_t stalledAge = DetectConfig::current(store_).stalledAgeSec;
            telemetry_.update([&](Telemetry::Fields& f) { f.stalledAgeSec = stalledAge; });
            ++cycle;
            if (cycle % 5 == 1) refreshGroupMembers(stop);
            telemetry_.heartbeatReport(*token, stop);
            if (telemetry_.fields().stallDumpsPending > 0) uploadPendingStallDumps(*token, stop);
        }
        if (stop.stop_requested()) return;
        clock_.sleepFor(settings_.telemetryInterval, stop);
    }
}

std::optional<NetworkPath> PacketTunnelProvider::monitoredPath() {
    std::lock_guard lock(tasksMutex_);
    if (!pathMonitor_) return std::nullopt;
    return pathMonitor_->currentPath();
}

void PacketTunnelProvider::uploadPendingStallDumps(const std::string& token, std::stop_token stop) {
    bool monitored;
    {
        std::lock_guard lock(tasksMutex_);
        monitored = pathMonitor_ != nullptr;
    }
    const ProviderPathView path([this] { return monitoredPath(); });
    ClashClient::uploadStallDump(token, telemetry_, monitored ? &path : nullptr, stop);
}

// ---- Connect report -------------------------------------------------------------

void PacketTunnelProvider::connectReport(std::int64_t configLoadedMs, std::int64_t tunnelUpMs,
                                         std::stop_token stop) {
    const auto token = subToken();
    if (!token) return;

    if (!clash_.hbInboundPresent()) {
        Telemetry::Report r = telemetry_.envelope(*token);
        r["report"] = "connect_report";
        r["t_config_loaded_ms"] = configLoadedMs;
        r["t_tunnel_up_ms"] = tunnelUpMs;
        r["connect_outcome"] = "ok";
        r["retries"] = 0;
        telemetry_.post(r, stop);
        return;
    }

    Log::line("[Kavri] connect_report: старт пробы first_byte");
    const auto probeStart = clock_.monoNow();
    std::int64_t retries = 0;
    std::optional<std::int64_t> firstByte;
    std::string outcome;
    for (;;) {
        // Only the provider going away ends the probe early; it then sends nothing.
        if (stop.stop_requested()) return;
        if (clock_.monoNow() - probeStart >= settings_.firstByteProbeLimit) {
            outcome = "timeout";
            break;
        }
        const DetectConfig detect = DetectConfig::current(store_);
        if (clash_.memberDelayProbe(detect.hbURL, detect.hbTimeoutMs, stop)) {
            const auto probed = std::chrono::duration_cast<std::chrono::milliseconds>(clock_.monoNow() - probeStart);
            firstByte = tunnelUpMs + probed.count();
            outcome = "ok";
            break;
        }
        ++retries;
        clock_.sleepFor(settings_.firstByteRetryPause, stop);
    }

    Log::line("[Kavri] connect_report: outcome=" + outcome + " retries=" + std::to_string(retries) +
              " firstByte=" + (firstByte ? std::to_string(*firstByte) : std::string("nil")) + " → POST");

    std::string trace;
    if (outcome != "ok") {
        const Telemetry::Fields f = telemetry_.fields();
        trace = "first_byte timeout surface=" + f.surfaceID.value_or("-") +
                " member=" + currentActiveMember().value_or("-") + " net=" + f.networkType.value_or("-") + "/" +
                f.radioTech.value_or("-") + " retries=" + std::to_string(retries);
        trace = Utf8::prefix(trace, 400);
    }

    Telemetry::Report r = telemetry_.envelope(*token);
    r["report"] = "connect_report";
    r["t_config_loaded_ms"] = configLoadedMs;
    r["t_tunnel_up_ms"] = tunnelUpMs;
    if (firstByte) r["t_first_byte_ms"] = *firstByte;
    r["connect_outcome"] = outcome;
    r["retries"] = retries;
    if (!trace.empty()) r["trace"] = trace;
    telemetry_.post(r, stop);
    Log::line("[Kavri] connect_report: POST завершён");

    if (!firstByte) {
        Telemetry::Report fail = telemetry_.envelope(*token);
        fail["report"] = "event";
        fail["event"] = "connect_fail";
        fail["fail_phase"] = "first_byte";
        telemetry_.post(fail, stop);
    }
}

// ---- Rule-set refresh -------------------------------------------------------------

void PacketTunnelProvider::startRulesTask() {
    std::lock_guard lock(tasksMutex_);
    rules_.start(retiredTasks_);
}

void PacketTunnelProvider::applyNewRules(std::stop_token stop) {
    const auto config = currentConfigText();
    if (!config) return;
    const auto group = probeGroupState(stop);
    const std::optional<std::string> previousMember = group ? group->now : std::nullopt;
    const std::string prepared = applyLocalPaths(*config);
    try {
        hotReload(prepared, stop);
    } catch (const std::exception& e) {
        if (stop.stop_requested()) return;  // cut short by the run's stop
        Log::line(std::string("[Kavri] rules hot-reload failed: ") + e.what());
        return;
    }
    run_.setRunningConfig(*config);
    reloadEngine(previousMember, stop);
    if (const auto token = subToken()) {
        Telemetry::Report r = telemetry_.envelope(*token);
        r["report"] = "event";
        r["event"] = "rules_refresh";
        telemetry_.post(r, stop);
    }
    Log::line("[Kavri] rules: обновлён union .srs, hot-reload");
}

}  // namespace kavri
