#include "app/stack/catalog_holder.h"

namespace kavri {

CatalogHolder::CatalogHolder(MainExecutor& main, StackAPI api, Track track, Clock& clock)
    : ObservableStore(main), api_(std::move(api)), track_(std::move(track)), clock_(clock), calls_(main) {}

CatalogHolder::~CatalogHolder() { calls_.cancelAll(); }

bool CatalogHolder::refresh(StoreCalls::Call& call, const std::string& token, const std::string& why,
                            double budgetSeconds) {
    auto fetch = api_.fetchCatalog(token, budgetSeconds, call.stopToken());
    return call.onMain([&] {
        const bool hadCache = catalog->has_value();
        if (track_) {
            track_("catalog_fetch", fetch.ms,
                   nlohmann::json{{"result", fetch.catalog ? "ok" : "fail"},
                                  {"why", why},
                                  {"host", fetch.host.value_or("none")},
                                  {"http_code", fetch.code.value_or(0)},
                                  {"had_cache", hadCache}});
        }
        if (!fetch.catalog) return false;
        catalog = std::move(fetch.catalog);
        source = "net";
        shownAt = clock_.wallNow();
        return true;
    });
}

StoreCalls::Handle CatalogHolder::refresh(std::string token, std::string why, double budgetSeconds,
                                          std::function<void(bool)> done) {
    return calls_.start([this, token = std::move(token), why = std::move(why), budgetSeconds,
                         done = std::move(done)](StoreCalls::Call& call) {
        const bool received = refresh(call, token, why, budgetSeconds);
        if (done) call.onMain([&] { done(received); });
    });
}

void CatalogHolder::loadCachedIfEmpty() {
    auto cached = api_.cachedCatalog();
    if (!cached) return;
    catalog = std::move(cached);
    source = "cache";
    shownAt = api_.cachedCatalogAt();
}

std::optional<std::int64_t> CatalogHolder::cacheAgeSeconds() const {
    if (!catalog->has_value()) return std::nullopt;
    const auto reference = shownAt ? shownAt : api_.cachedCatalogAt();
    if (!reference) return std::nullopt;
    return std::chrono::duration_cast<std::chrono::seconds>(clock_.wallNow() - *reference).count();
}

}  // namespace kavri
