#include "tunnel/telemetry_loop.h"

#include <utility>

#include "core/detect_config.h"
#include "core/utf8.h"
#include "platform/runtime/log.h"

namespace kavri {
namespace {

// The run's path monitor as a stall dump sees it: each read asks for the
// path in force, so a monitor replaced or ended meanwhile is never touched.
class PathView final : public PathMonitor {
public:
    explicit PathView(std::function<std::optional<NetworkPath>()> read) : read_(std::move(read)) {}
    void start(Handler) override {}
    void cancel() override {}
    std::optional<NetworkPath> currentPath() const override { return read_(); }

private:
    std::function<std::optional<NetworkPath>()> read_;
};

}  // namespace

TelemetryLoop::TelemetryLoop(Clock& clock, KavriStore& store, ClashClient& clash, Telemetry& telemetry, RunState& run,
                             GroupTracker& group, Ports ports, Timing timing)
    : clock_(clock),
      store_(store),
      clash_(clash),
      telemetry_(telemetry),
      run_(run),
      group_(group),
      ports_(std::move(ports)),
      timing_(timing) {}

void TelemetryLoop::start(std::vector<Task>& retired) {
    task_.retireInto(retired);
    task_ = Task([this](std::stop_token stop) { loop(stop); });
}

void TelemetryLoop::cancel(std::vector<Task>& retired) { task_.retireInto(retired); }

void TelemetryLoop::loop(std::stop_token stop) {
    if (stop.stop_requested()) return;
    std::int64_t cycle = 0;  // cycles that had a token
    clock_.sleepFor(timing_.firstDelay, stop);
    for (;;) {
        if (stop.stop_requested()) return;
        if (const auto token = ports_.subToken()) {
            updateNetworkType();
            const std::int64_t stalledAge = DetectConfig::current(store_).stalledAgeSec;
            telemetry_.update([&](Telemetry::Fields& f) { f.stalledAgeSec = stalledAge; });
            ++cycle;
            if (cycle % 5 == 1) group_.refresh(stop);
            telemetry_.heartbeatReport(*token, stop);
            if (telemetry_.fields().stallDumpsPending > 0) uploadPendingStallDumps(*token, stop);
        }
        if (stop.stop_requested()) return;
        clock_.sleepFor(timing_.interval, stop);
    }
}

void TelemetryLoop::uploadPendingStallDumps(const std::string& token, std::stop_token stop) {
    const PathView path(ports_.currentPath);
    ClashClient::uploadStallDump(token, telemetry_, ports_.monitoring() ? &path : nullptr, stop);
}

std::pair<std::optional<std::string>, std::optional<std::string>> TelemetryLoop::updateNetworkType() {
    std::optional<std::string> type;
    if (const auto path = ports_.currentPath()) type = Telemetry::networkType(*path);
    if (!type) type = telemetry_.fields().networkType;
    std::optional<std::string> radio = type == "wifi" ? std::optional<std::string>("wifi") : std::nullopt;
    telemetry_.update([&](Telemetry::Fields& f) {
        f.networkType = type;
        f.radioTech = radio;
    });
    return {type, radio};
}

void TelemetryLoop::connectReport(std::int64_t configLoadedMs, std::int64_t tunnelUpMs, std::stop_token stop) {
    const auto token = ports_.subToken();
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
        // Only the run going away ends the probe early; it then sends nothing.
        if (stop.stop_requested()) return;
        if (clock_.monoNow() - probeStart >= timing_.firstByteProbeLimit) {
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
        clock_.sleepFor(timing_.firstByteRetryPause, stop);
    }

    Log::line("[Kavri] connect_report: outcome=" + outcome + " retries=" + std::to_string(retries) +
              " firstByte=" + (firstByte ? std::to_string(*firstByte) : std::string("nil")) + " → POST");

    std::string trace;
    if (outcome != "ok") {
        const Telemetry::Fields f = telemetry_.fields();
        trace = "first_byte timeout surface=" + f.surfaceID.value_or("-") +
                " member=" + run_.activeMember().value_or("-") + " net=" + f.networkType.value_or("-") + "/" +
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

}  // namespace kavri
