#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "api/stack_api.h"
#include "app/runtime/observable_store.h"
#include "app/runtime/store_calls.h"
#include "platform/runtime/clock.h"

namespace kavri {

// The catalog the location and protocol picker shows: the cached one at
// once, the fresh one when it arrives, with where the shown one came from
// and when. Every fetch is reported as a "catalog_fetch" event. Main thread
// only; only `catalog` notifies.
class CatalogHolder : public ObservableStore {
public:
    // Reports one event: its name, elapsed milliseconds and extra keys.
    using Track = std::function<void(const std::string& event, std::int64_t ms, const nlohmann::json& extra)>;

    CatalogHolder(MainExecutor& main, StackAPI api, Track track, Clock& clock = Clock::system());
    ~CatalogHolder() override;

    Published<std::optional<StackAPI::Catalog>> catalog{*this, "catalog"};
    std::string source = "none";  // "none", "cache" or "net"
    // "net": when it was received; "cache": the cache's time stamp.
    std::optional<std::chrono::system_clock::time_point> shownAt;

    // Fetches within `budgetSeconds` (off the main thread, inside a store
    // call), reports the fetch with `why`, and shows the catalog when one
    // came; a failure leaves everything as it was. True when one came.
    bool refresh(StoreCalls::Call& call, const std::string& token, const std::string& why, double budgetSeconds);
    StoreCalls::Handle refresh(std::string token, std::string why, double budgetSeconds,
                               std::function<void(bool)> done = nullptr);

    // Shows the cached catalog, when there is one, in place of what is shown.
    void loadCachedIfEmpty();

    // Whole seconds since `shownAt` (else the cache's time stamp); nothing
    // while no catalog is shown or neither time is known.
    std::optional<std::int64_t> cacheAgeSeconds() const;

private:
    StackAPI api_;
    Track track_;
    Clock& clock_;
    StoreCalls calls_;
};

}  // namespace kavri
