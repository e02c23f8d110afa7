#include "app/stack/catalog_holder.h"

#include <gtest/gtest.h>

#include "app/runtime/manual_executor.h"
#include "core/deployment.h"
#include "core/kavri_defaults_key.h"
#include "platform/runtime/fake_clock.h"
#include "testing/test_control_plane.h"
#include "tests/support/temp_dir.h"

namespace kavri {
namespace {

using namespace std::chrono_literals;
using json = nlohmann::json;
using Reply = TestControlPlane::Reply;

const std::string token = "tok123";
json catalogWith(const std::string& id) {
    return {{"locations", {{{"id", id}, {"title", id}, {"country_code", "DE"}, {"protocols", json::array()}}}}};
}

class CatalogHolderTest : public ::testing::Test {
protected:
    CatalogHolderTest() {
        Deployment::install(TestControlPlane::deploymentFor({&plane}));
        holder = std::make_unique<CatalogHolder>(
            main, StackAPI(StackAPI::session(), store, clock),
            [this](const std::string& event, std::int64_t, const json& extra) {
                json e = {{"event", event}};
                e.update(extra);
                events.push_back(e);
            },
            clock);
        sub = holder->subscribe([this](std::string_view) { shown.push_back(id()); });
    }
    ~CatalogHolderTest() override {
        sub.reset();
        holder.reset();
        Deployment::install(saved);
    }
    std::string id() const { return holder->catalog.get() ? holder->catalog.get()->locations.at(0).id : "none"; }
    bool refresh(const std::string& why) {
        std::optional<bool> received;
        holder->refresh(token, why, 5, [&](bool r) { received = r; });
        EXPECT_TRUE(main.runUntil([&] { return received.has_value(); }, 60s));
        return received.value_or(false);
    }

    const Deployment saved = Deployment::current();
    ManualExecutor main;
    FakeClock clock{Clock::WallTime(std::chrono::sys_days(std::chrono::year(2025) / 3 / 1))};
    TestControlPlane plane;
    test::TempDir dir;
    KavriStore store{dir.path()};
    std::vector<json> events;
    std::vector<std::string> shown;
    std::unique_ptr<CatalogHolder> holder;
    ObservableStore::Subscription sub;
};

TEST_F(CatalogHolderTest, TheCachedCatalogComesFirstThenTheFreshOneWithTheirAges) {
    EXPECT_EQ(holder->source, "none");
    EXPECT_EQ(holder->cacheAgeSeconds(), std::nullopt);
    store.set(KavriDefaultsKey::stackCatalogCache, PlistValue(Data{catalogWith("cached").dump()}));
    store.set(KavriDefaultsKey::stackCatalogCacheAt, PlistValue(clock.wallNow() - 90s));

    holder->loadCachedIfEmpty();
    EXPECT_EQ(holder->source, "cache");
    EXPECT_EQ(holder->cacheAgeSeconds(), 90);

    plane.setCatalog(token, catalogWith("fresh").dump());
    clock.advance(10s);
    EXPECT_TRUE(refresh("sheet_open"));
    EXPECT_EQ(holder->source, "net");
    clock.advance(7s);
    EXPECT_EQ(holder->cacheAgeSeconds(), 7);  // from the refresh, not the cache write
    EXPECT_EQ(shown, (std::vector<std::string>{"cached", "fresh"}));
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0], (json{{"event", "catalog_fetch"}, {"result", "ok"}, {"why", "sheet_open"},
                               {"host", "127.0.0.1"}, {"http_code", 200}, {"had_cache", true}}));

    // The cache replaces a fresh catalog when asked.
    holder->loadCachedIfEmpty();
    EXPECT_EQ(holder->source, "cache");
    EXPECT_EQ(id(), "fresh");  // the fetch rewrote the cache
}

TEST_F(CatalogHolderTest, AFailedRefreshReportsAndChangesNothing) {
    EXPECT_FALSE(refresh("background_loop"));  // unknown token: 401
    EXPECT_EQ(holder->source, "none");
    plane.setCatalog(token, catalogWith("fresh").dump());
    ASSERT_TRUE(refresh("background_loop"));
    const auto at = holder->shownAt;

    plane.script(Reply::withStatus(402));
    clock.advance(60s);
    EXPECT_FALSE(refresh("sheet_retry"));

    EXPECT_EQ(id(), "fresh");
    EXPECT_EQ(holder->source, "net");
    EXPECT_EQ(holder->shownAt, at);
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0]["had_cache"], false);
    EXPECT_EQ(events[0]["http_code"], 401);
    EXPECT_EQ(events[2], (json{{"event", "catalog_fetch"}, {"result", "fail"}, {"why", "sheet_retry"},
                               {"host", "127.0.0.1"}, {"http_code", 402}, {"had_cache", true}}));
}

}  // namespace
}  // namespace kavri
