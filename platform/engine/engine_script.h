#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>
#include <stop_token>

#include <nlohmann/json.hpp>

namespace kavri {

// Hooks through which tests (and local runs) make the engine answer as the
// real one would in situations the stand-in cannot produce by itself, and
// through which they see what the engine was told. Thread-safe; it outlives
// engine restarts.
class EngineScript {
public:
    // "kavri/diag" answers exactly this object while it is set; otherwise the
    // engine's own counters.
    void setDiag(std::optional<nlohmann::json> reply);
    std::optional<nlohmann::json> diag() const;

    // "kavri/stall_dump" hands out queued dumps one by one, then {"empty": true}.
    void pushStallDump(nlohmann::json dump);
    std::optional<nlohmann::json> popStallDump();
    std::size_t pendingStallDumps() const;

    // "connections" answers exactly this table while it is set; otherwise the
    // live table.
    void setConnections(std::optional<nlohmann::json> table);
    std::optional<nlohmann::json> connections() const;

    // What reached the engine: the last "kavri/config" object and the number
    // of "DELETE connections" (and network resets) it served.
    void noteTunables(nlohmann::json tunables);
    std::optional<nlohmann::json> tunables() const;
    void noteCloseAll();
    std::size_t closeAllCount() const;

    // While held, an engine start waits (before it begins) until released:
    // a start that takes its time.
    void holdStarts();
    void releaseStarts();
    // Called by the framework as a start begins; true once some start waited
    // here.
    void waitToStart();
    bool startWaited() const;

    // While held, a hot reload waits (once begun, before it takes effect)
    // until released or cancelled: a reload that takes its time.
    void holdReloads();
    void releaseReloads();
    // Called by the framework as a reload begins: false when `stop` was
    // requested before the reload could go on. reloadWaited() is true once
    // some reload waited here.
    bool waitToReload(std::stop_token stop);
    bool reloadWaited() const;

private:
    mutable std::mutex mutex_;
    std::condition_variable startsReleased_;
    std::condition_variable_any reloadsReleased_;
    bool holdReloads_ = false;
    bool reloadWaited_ = false;
    bool holdStarts_ = false;
    bool startWaited_ = false;
    std::optional<nlohmann::json> diag_;
    std::deque<nlohmann::json> stallDumps_;
    std::optional<nlohmann::json> connections_;
    std::optional<nlohmann::json> tunables_;
    std::size_t closeAllCount_ = 0;
};

}  // namespace kavri
