#pragma once

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/engine/connection_table.h"
#include "platform/engine/engine_config.h"
#include "platform/engine/engine_script.h"
#include "platform/engine/engine_settings.h"
#include "platform/net/endpoint.h"
#include "platform/net/tcp_server.h"
#include "platform/runtime/clock.h"

namespace kavri {

class ClashController;

// The engine that runs behind the extension framework here: it serves the
// "http" and "mixed" inbounds of a sing-box configuration as HTTP proxies on
// loopback, carries each connection through the current member of the group
// that routes it ("direct", "http" and "socks" members; "block" refuses;
// other protocols count as unreachable), keeps the connection table, and
// serves the clash-style controller. One object serves one run: start, any
// number of reloads, stop.
class ProxyEngine {
public:
    struct DelayResult {
        std::optional<int> delayMs;  // set when the test passed (1 or more)
        bool timedOut = false;
    };

    enum class SelectOutcome { selected, noSuchProxy, notSelector, noSuchMember };

    explicit ProxyEngine(EngineScript& script, Clock& clock = Clock::system(), EngineSettings settings = {});
    ProxyEngine(const ProxyEngine&) = delete;
    ProxyEngine& operator=(const ProxyEngine&) = delete;
    ~ProxyEngine();

    // Throws EngineError: invalid configuration, a port that is taken, a
    // second start.
    void start(const std::string& configText);
    // Throws EngineError and leaves the running configuration, its
    // listeners and the group selections as they were. On success every
    // group is back on its default member.
    void reload(const std::string& configText);
    // Closes the listeners, the controller and every connection.
    void stop();
    bool running() const;

    // Where the served inbounds and the controller actually listen (also
    // when the configuration asked for port 0).
    std::optional<Endpoint> inboundAddress(const std::string& tag) const;
    std::optional<Endpoint> controllerAddress() const;

    // --- what the controller serves ---
    std::string secret() const;
    std::optional<std::string> selected(const std::string& group) const;
    SelectOutcome select(const std::string& group, const std::string& member);
    nlohmann::json proxies() const;
    std::optional<nlohmann::json> proxy(const std::string& tag) const;
    // Nothing when there is no such outbound.
    std::optional<DelayResult> delayTest(const std::string& tag, const std::string& url,
                                         std::chrono::milliseconds timeout);
    // Member name to delay (0 for a failed member); nothing when `group` is
    // not a group. An empty `url` takes the group's own test URL.
    std::optional<std::map<std::string, int>> groupDelayTest(const std::string& group, const std::string& url,
                                                             std::chrono::milliseconds timeout);
    nlohmann::json connectionsJson() const;
    // Drops every live connection (the controller's "DELETE connections" and
    // the command server's network reset). Returns how many.
    std::size_t closeAllConnections();
    bool closeConnection(const std::string& id);
    nlohmann::json diag() const;
    nlohmann::json nextStallDump();
    void setTunables(nlohmann::json tunables);

    const ConnectionTable& connections() const { return table_; }
    EngineScript& script() { return script_; }

private:
    struct ServedInbound;
    struct Prepared;
    struct Route {
        std::vector<std::string> chains;  // leaf first
        EngineConfig::Outbound leaf;
        std::string rule;
    };

    Prepared prepare(const EngineConfig& config);
    void commit(Prepared prepared, std::shared_ptr<const EngineConfig> config);
    void resetGroupsLocked();
    void logConfiguration(const EngineConfig& config) const;

    std::optional<Route> resolve(const std::string& tag) const;
    std::optional<Route> routeFor(const std::string& inboundTag) const;
    void serveClient(ServedInbound& slot, TcpSocket client, std::stop_token stop);
    DelayResult testThrough(const EngineConfig::Outbound& leaf, const std::string& url,
                            std::chrono::milliseconds timeout);
    void noteDelay(const std::string& tag, const DelayResult& result);

    EngineScript& script_;
    Clock& clock_;
    EngineSettings settings_;
    ConnectionTable table_;
    std::atomic<std::uint64_t> dialsTotal_{0};
    std::atomic<std::uint64_t> dialsFailed_{0};
    std::stop_source stopSource_;

    std::mutex lifecycle_;  // start, reload and stop, one at a time
    mutable std::mutex mutex_;
    bool started_ = false;
    bool running_ = false;
    std::shared_ptr<const EngineConfig> config_;
    std::map<std::string, std::string> now_;            // group -> selected member
    std::map<std::string, nlohmann::json> history_;     // outbound -> last passed delay test
    std::vector<std::unique_ptr<ServedInbound>> inbounds_;
    std::unique_ptr<ClashController> controller_;
};

}  // namespace kavri
