#include "app/stack/stack_pinger.h"

#include <cmath>
#include <thread>
#include <tuple>

#include "platform/network/tcp_probe.h"

namespace kavri {

StackPinger::StackPinger(MainExecutor& main, Clock& clock, Connector connector)
    : ObservableStore(main),
      clock_(clock),
      connector_(connector ? std::move(connector) : Connector(&TcpProbe::connectMillis)),
      calls_(main) {}

StackPinger::~StackPinger() {
    *alive_ = false;
    lifetime_.request_stop();
    calls_.cancelAll();
}

std::optional<std::int64_t> StackPinger::connectRTT(const std::string& host, std::int64_t port, double timeout,
                                                    const Connector& connector, std::stop_token stop) {
    // A port the wire cannot carry is refused, never cut to 16 bits.
    if (port < 1 || port > 65535) return std::nullopt;
    const auto limit = std::chrono::milliseconds(static_cast<std::int64_t>(std::llround(timeout * 1000)));
    const auto ms = connector(host, static_cast<std::uint16_t>(port), limit, stop);
    if (!ms || *ms < 10) return std::nullopt;  // a connect that fast is no measurement
    return ms;
}

void StackPinger::probe(const std::vector<StackAPI::Catalog::Location>& locations) {
    if (running_.valid()) running_.cancel();
    running_ = {};

    std::vector<Target> targets;
    for (const auto& location : locations) {
        if (!location.probeHost || location.probeHost->empty() || !location.probePort) continue;
        targets.push_back({location.id, *location.probeHost, *location.probePort});
    }
    const auto now = clock_.wallNow();
    const auto ttl = std::chrono::duration<double>(cacheTTL);
    auto shown = results.get();
    bool fromCache = false;
    for (const auto& target : targets) {
        const auto entry = cache_.find(target.id);
        if (entry != cache_.end() && now - entry->second.at < ttl) {
            shown[target.id] = entry->second.ms;
            fromCache = true;
        }
    }
    if (fromCache) results = shown;

    std::vector<Target> toMeasure;
    for (const auto& target : targets)
        if (!shown.contains(target.id)) toMeasure.push_back(target);
    if (toMeasure.empty()) return;
    const std::size_t size = parallel > 0 ? static_cast<std::size_t>(parallel) : 1;
    running_ = calls_.start([this, toMeasure, size](StoreCalls::Call& call) { run(call, toMeasure, size); });
}

void StackPinger::run(StoreCalls::Call& call, const std::vector<Target>& targets, std::size_t size) {
    for (std::size_t start = 0; start < targets.size(); start += size) {
        if (call.cancelled()) return;
        const auto end = std::min(start + size, targets.size());
        const std::vector<Target> batch(targets.begin() + static_cast<std::ptrdiff_t>(start),
                                        targets.begin() + static_cast<std::ptrdiff_t>(end));
        // How each is measured, decided on the main thread.
        // (Plain variables, not a structured binding: the threads below capture them.)
        bool throughTunnel = false;
        ExtensionProbe probeThroughTunnel;
        double seconds = 0;
        std::tie(throughTunnel, probeThroughTunnel, seconds) = call.onMain([this] {
            const bool up = tunnelActive && tunnelActive() && extensionProbe;
            return std::tuple(up, up ? extensionProbe : ExtensionProbe{}, timeout);
        });
        std::vector<std::optional<std::int64_t>> measured(batch.size());
        {
            std::vector<std::jthread> children;
            for (std::size_t i = 0; i < batch.size(); ++i) {
                children.emplace_back([&, i] {
                    const auto& target = batch[i];
                    if (throughTunnel) {
                        if (target.port >= 1 && target.port <= 65535)
                            measured[i] = probeThroughTunnel(target.host, static_cast<int>(target.port));
                    } else {
                        measured[i] = connectRTT(target.host, target.port, seconds, connector_, lifetime_.get_token());
                    }
                });
            }
        }
        std::map<std::string, std::int64_t> found;
        for (std::size_t i = 0; i < batch.size(); ++i)
            if (measured[i]) found[batch[i].id] = *measured[i];
        // Published even when a newer probe cancelled this run meanwhile.
        if (!found.empty()) {
            mainExecutor().post([this, alive = alive_, found] {
                if (!*alive) return;
                auto updated = results.get();
                const auto now = clock_.wallNow();
                for (const auto& [id, ms] : found) {
                    updated[id] = ms;
                    cache_[id] = CacheEntry{ms, now};
                }
                results = std::move(updated);
            });
        }
    }
}

}  // namespace kavri
