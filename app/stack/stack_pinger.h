#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "api/stack_api.h"
#include "app/runtime/observable_store.h"
#include "app/runtime/store_calls.h"
#include "platform/runtime/clock.h"

namespace kavri {

// Measures how long a TCP connection to each location's probe endpoint
// takes to open and publishes the milliseconds per location for the
// picker: through the tunnel while it is up, else directly. Measurements are
// reused for 60 s and run four at a time. Main thread only.
class StackPinger : public ObservableStore {
public:
    // Opens one connection and gives its connect time in milliseconds.
    using Connector = std::function<std::optional<std::int64_t>(const std::string& host, std::uint16_t port,
                                                                std::chrono::milliseconds limit, std::stop_token)>;
    // Measures from inside the tunnel (blocking, off the main thread).
    using ExtensionProbe = std::function<std::optional<std::int64_t>(const std::string& host, int port)>;

    // `connector`: TcpProbe when none.
    explicit StackPinger(MainExecutor& main, Clock& clock = Clock::system(), Connector connector = nullptr);
    ~StackPinger() override;

    // Location id to connect time in whole milliseconds; only gains or
    // replaces entries.
    Published<std::map<std::string, std::int64_t>> results{*this, "results"};

    double timeout = 1.5;  // seconds for one direct connection
    int parallel = 4;      // probes at a time
    double cacheTTL = 60;  // seconds a measurement is reused

    ExtensionProbe extensionProbe;
    std::function<bool()> tunnelActive;

    // Cancels the run under way (it still publishes the batch in flight),
    // shows measurements younger than cacheTTL, and measures the locations
    // with a probe endpoint that have no value yet. Returns at once.
    void probe(const std::vector<StackAPI::Catalog::Location>& locations);

    // One direct measurement: nothing for a port outside 1...65535, a
    // failed or timed-out connect, or one faster than 10 ms.
    static std::optional<std::int64_t> connectRTT(const std::string& host, std::int64_t port, double timeout,
                                                  const Connector& connector, std::stop_token stop = {});

private:
    struct Target {
        std::string id;
        std::string host;
        std::int64_t port = 0;
    };
    struct CacheEntry {
        std::int64_t ms = 0;
        Clock::WallTime at;
    };

    void run(StoreCalls::Call& call, const std::vector<Target>& targets, std::size_t batchSize);

    Clock& clock_;
    Connector connector_;
    std::map<std::string, CacheEntry> cache_;
    StoreCalls::Handle running_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);  // main thread only
    std::stop_source lifetime_;
    StoreCalls calls_;
};

}  // namespace kavri
