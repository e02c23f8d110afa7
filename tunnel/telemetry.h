#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "core/kavri_store.h"
#include "core/plist_value.h"
#include "platform/http/http_session.h"
#include "platform/network/path_monitor.h"
#include "platform/runtime/clock.h"

namespace kavri {

// The extension's report builder and sender: the facts every report
// carries, the envelope, the sampler over the engine's connection table, the
// heartbeat report, events and stall dumps. Everything is fire-and-forget:
// failures leave only missing data.
class Telemetry {
public:
    using Report = nlohmann::json;  // an object

    // The facts the provider's parts fill in. Read a copy with fields(),
    // change them with update().
    struct Fields {
        std::string clashSecret;
        std::int64_t stallDumpsPending = 0;
        std::optional<std::string> activeMember;
        std::string groupTag = "proxy";
        std::int64_t reconnectsSinceLast = 0;
        std::optional<std::int64_t> handshakeMs;
        std::optional<std::int64_t> configVersion;
        std::optional<std::string> deviceID;
        std::optional<std::string> probeTargetURL;
        std::optional<std::string> surfaceID;
        std::map<std::string, std::int64_t> memberDelays;
        std::optional<std::string> networkType;
        std::optional<std::string> radioTech;
        Clock::WallTime pathChangedAt;
        std::int64_t stallWatchVersion = 0;
        std::optional<Clock::WallTime> lastDownMoveAt;
        std::optional<Clock::WallTime> lastUpMoveAt;
        std::optional<std::string> sessionID;
        std::optional<bool> pathSatisfied;
        std::int64_t stalledAgeSec = 5;
        std::int64_t pathChangesSinceLast = 0;
    };

    // One sample of the engine's connections.
    struct Snapshot {
        std::int64_t connTotal = 0;
        std::optional<std::string> transport;
        std::optional<bool> fallbackOccurred;
        std::optional<std::int64_t> downKbps, upKbps;
        std::optional<std::int64_t> downBytes, upBytes;
        std::optional<std::int64_t> windowMs;
        std::optional<std::int64_t> connNew, connActive, connStalled, connCarrying, connSilentOpen;
        std::optional<std::int64_t> silentMsP50, silentMsMax;
        std::optional<std::map<std::string, std::int64_t>> silentHist;
        std::optional<std::int64_t> msSinceLastByteDown, msSinceLastByteUp;
        std::optional<std::string> activeTag;
        std::optional<std::vector<nlohmann::json>> members;
    };

    struct Settings {
        // Base of the engine's local controller.
        std::string clashBase = "http://127.0.0.1:9090";
        // Where the machine's power profile is read.
        std::string powerProfilePath = "/sys/firmware/acpi/platform_profile";
    };

    explicit Telemetry(Clock& clock = Clock::system(), KavriStore& store = KavriStore::shared());
    Telemetry(Clock& clock, KavriStore& store, Settings settings);

    Fields fields() const;
    template <class F>
    void update(F&& change) {
        std::lock_guard lock(mutex_);
        change(fields_);
    }

    Report envelope(const std::string& token) const;
    void post(const Report& report, std::stop_token stop = {}) const;
    void sendEvent(const std::string& token, const std::string& event,
                   const std::optional<std::string>& failPhase = std::nullopt,
                   const Report& fields = Report::object(), std::stop_token stop = {}) const;
    void heartbeatReport(const std::string& token, std::stop_token stop = {});
    std::optional<Snapshot> sampleConnections(std::stop_token stop = {});
    std::optional<nlohmann::json> clashJSON(const std::string& path, std::stop_token stop = {}) const;
    std::optional<nlohmann::json> fetchStallDump(std::stop_token stop = {}) const;
    void sendStallDump(const std::string& token, const nlohmann::json& dump, const Report& fields,
                       std::stop_token stop = {}) const;

    // "<short version> (<build>)", "?" for a missing or non-text value.
    // The network kind of a path, as reports name it ("wifi", "cellular",
    // "ethernet", "other"); nothing when the path is unsatisfied or has no
    // interface.
    static std::optional<std::string> networkType(const NetworkPath& path);
    static std::string clientVersion();
    static std::string clientVersion(const PlistValue::Dict& info);
    static std::string osVersion();

private:
    struct Move {
        Clock::WallTime at;
        std::int64_t bytes;
    };
    struct Ledger {
        std::int64_t down, up;
    };

    Clock& clock_;
    KavriStore& store_;
    Settings settings_;
    HttpSession session_;

    mutable std::mutex mutex_;
    Fields fields_;
    // Sampler memory.
    std::int64_t lastDownTotal_ = 0, lastUpTotal_ = 0;
    std::map<std::string, Ledger> connBytesLedger_;
    std::optional<Clock::WallTime> lastSampleAt_;
    std::optional<std::string> lastTransport_;
    std::map<std::string, Clock::WallTime> connFirstSeen_;
    std::map<std::string, Move> connLastMove_;
};

}  // namespace kavri
