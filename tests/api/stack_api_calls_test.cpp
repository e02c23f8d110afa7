#include <gtest/gtest.h>

#include <set>

#include "api/device_id.h"
#include "api/stack_api.h"
#include "core/deployment.h"
#include "core/kavri_constants.h"
#include "core/kavri_defaults_key.h"
#include "platform/runtime/fake_clock.h"
#include "testing/test_control_plane.h"
#include "tests/support/temp_dir.h"

namespace kavri {
namespace {

using json = nlohmann::json;
using Reply = TestControlPlane::Reply;
namespace K = KavriDefaultsKey;

const std::string token = "tok123";
const std::string catalogBody =
    json{{"manual_allowed", true},
         {"locations", {{{"id", "de-1"}, {"title", "DE"}, {"country_code", "DE"}, {"protocols", {"reality"}}}}}}
        .dump();

class StackAPICallsTest : public ::testing::Test {
protected:
    void SetUp() override { Deployment::install(TestControlPlane::deploymentFor({&a, &b})); }
    void TearDown() override { Deployment::install(saved); }
    StackAPI api() { return StackAPI(StackAPI::session(), store, clock); }

    const Deployment saved = Deployment::current();
    FakeClock clock{Clock::WallTime(std::chrono::sys_days(std::chrono::year(2025) / 3 / 1))};
    TestControlPlane a, b;
    test::TempDir dir;
    KavriStore store{dir.path()};
};

TEST_F(StackAPICallsTest, FetchWalksOnlyPastTransportFailuresAndOtherStatuses) {
    struct Case {
        const char* name;
        std::optional<Reply> first, second;  // nothing: the plane's own catalog
        bool received;
        bool onSecond;  // the last host tried
        std::optional<int> code;
        std::size_t requests;
    };
    const std::vector<Case> cases = {
        {"503 then a catalog", Reply::withStatus(503), std::nullopt, true, true, 200, 2},
        {"402 stops the walk", Reply::withStatus(402), std::nullopt, false, false, 402, 1},
        {"401 stops the walk", Reply::withStatus(401), std::nullopt, false, false, 401, 1},
        {"a body that is no JSON stops the walk", Reply::json("<html>"), std::nullopt, false, false, 200, 1},
        {"no host answers", Reply::close(), Reply::close(), false, true, std::nullopt, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        a.clearScript(), b.clearScript(), a.clearRequests(), b.clearRequests();
        store.removeObject(K::stackCatalogCache), store.removeObject(K::stackCatalogCacheAt);
        store.removeObject(K::cpLastGoodHost);
        b.setCatalog(token, catalogBody);
        if (c.first) a.script(*c.first);
        if (c.second) b.script(*c.second);

        const auto fetch = api().fetchCatalog(token, 15);

        EXPECT_EQ(fetch.catalog.has_value(), c.received);
        // The host name alone, without the port: both planes are 127.0.0.1,
        // so their requests tell which was tried last.
        EXPECT_EQ(fetch.host, "127.0.0.1");
        EXPECT_EQ(b.requestCount() > 0, c.onSecond);
        EXPECT_EQ(fetch.code, c.code);
        EXPECT_EQ(a.requestCount() + b.requestCount(), c.requests);
        EXPECT_EQ(store.data(K::stackCatalogCache), c.received ? std::optional(catalogBody) : std::nullopt);
        EXPECT_EQ(api().cachedCatalogAt(), c.received ? std::optional(clock.wallNow()) : std::nullopt);
        EXPECT_EQ(api().cachedCatalog().has_value(), c.received);
    }
    const auto request = b.requests().back();
    EXPECT_EQ(request.call(), "GET /stack/" + token);
    EXPECT_EQ(request.header("X-Kavri-Caps"), KavriConstants::clientCaps);
    EXPECT_EQ(request.header("X-Kavri-Build"), KavriConstants::clientBuild());
    EXPECT_EQ(request.header("X-Device-Id"), DeviceID::current(store));
}

TEST_F(StackAPICallsTest, AFailedFetchKeepsThePreviousCacheAndABadCacheReadsAsNothing) {
    a.setCatalog(token, catalogBody);
    ASSERT_TRUE(api().fetchCatalog(token, 15).catalog);
    a.script(Reply::json("[1]"));
    EXPECT_FALSE(api().fetchCatalog(token, 15).catalog);
    EXPECT_EQ(store.data(K::stackCatalogCache), catalogBody);

    store.set(K::stackCatalogCache, PlistValue(catalogBody));  // text, not data
    store.set(K::stackCatalogCacheAt, PlistValue(std::int64_t{5}));
    EXPECT_EQ(api().cachedCatalog().has_value(), false);
    EXPECT_EQ(api().cachedCatalogAt(), std::nullopt);
    store.set(K::stackCatalogCache, PlistValue(Data{"not json"}));
    EXPECT_EQ(api().cachedCatalog().has_value(), false);
}

TEST_F(StackAPICallsTest, ASelectionKeepsOneKeyOverItsAttemptsAndEndsOnItsStatuses) {
    a.setCatalog(token, catalogBody), b.setCatalog(token, catalogBody);
    a.script(Reply::withStatus(500));
    const json stack = {{"manual_allowed", true}, {"location", {{"id", "de-1"}, {"mode", "manual"}}}, {"protocol", json::object()}};
    b.script(Reply::json(json{{"stack", stack}}.dump()));

    const auto outcome = api().select(token, std::nullopt, std::nullopt);

    EXPECT_EQ(outcome.status, 200);
    ASSERT_TRUE(outcome.stack);
    EXPECT_EQ(outcome.stack->location.id, "de-1");
    const auto first = a.requests().at(0), second = b.requests().at(0);
    EXPECT_EQ(second.call(), "POST /stack/" + token + "/select");
    EXPECT_EQ(json::parse(second.body), (json{{"location", nullptr}, {"protocol", nullptr}}));
    EXPECT_EQ(second.header("Content-Type"), "application/json");
    const auto key = first.header("Idempotency-Key");
    ASSERT_TRUE(key);
    EXPECT_EQ(key->size(), 36u);
    EXPECT_EQ(second.header("Idempotency-Key"), key);

    // Another selection has a key of its own; 409 and a refusal end at once.
    struct Case {
        Reply reply;
        int status;
    };
    for (const auto& c : std::vector<Case>{{Reply::json(R"({"error":"busy"})", 409), 409},
                                           {Reply::withStatus(403), 403},
                                           {Reply::json("not json"), 200}}) {
        a.clearRequests(), b.clearRequests();
        store.removeObject(K::cpLastGoodHost);
        a.script(c.reply);
        const auto o = api().select(token, "de-1", "reality");
        EXPECT_EQ(o.status, c.status);
        EXPECT_EQ(o.stack.has_value(), false);
        EXPECT_EQ(b.requestCount(), 0u);
        EXPECT_NE(a.requests().at(0).header("Idempotency-Key"), key);
        EXPECT_EQ(json::parse(a.requests().at(0).body), (json{{"location", "de-1"}, {"protocol", "reality"}}));
    }

    store.removeObject(K::cpLastGoodHost);
    a.scriptAlways(Reply::withStatus(500)), b.scriptAlways(Reply::withStatus(500));
    const auto exhausted = api().select(token, "de-1", std::nullopt);
    EXPECT_EQ(exhausted.status, 0);
    EXPECT_EQ(exhausted.stack.has_value(), false);
}

}  // namespace
}  // namespace kavri
