#include "core/config_fetcher.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <thread>

#include "core/control_plane.h"
#include "core/deployment.h"
#include "core/kavri_constants.h"
#include "core/kavri_defaults_key.h"
#include "core/kavri_http.h"
#include "testing/test_control_plane.h"
#include "tests/support/temp_dir.h"

using namespace kavri;
using namespace std::chrono_literals;
using json = nlohmann::json;
using ojson = nlohmann::ordered_json;
using Reply = TestControlPlane::Reply;
using FetchError = ConfigFetcher::FetchError;

namespace {

const std::string token = "tok3n";

ojson subscription(const ojson& meta) {
    ojson body = {{"outbounds", ojson::array({{{"type", "direct"}, {"tag", "direct"}}})}};
    body["_kavri_meta"] = meta;
    return body;
}

class ConfigFetcherTest : public ::testing::Test {
protected:
    void use(const std::vector<const TestControlPlane*>& planes) {
        Deployment::install(TestControlPlane::deploymentFor(planes));
    }

    ConfigFetcher::Fetched fetch(const std::optional<std::string>& deviceID = "DEVICE-1", bool shed = false,
                                 bool homeback = false, bool toggle = false, std::stop_token stop = {}) {
        return ConfigFetcher::fetch(token, deviceID, shed, homeback, toggle, KavriHTTP::api(), stop, limits,
                                    Clock::system(), store);
    }

    // The last error carried by the Exhausted that the fetch ends with.
    std::exception_ptr exhaustedError() {
        try {
            fetch();
        } catch (const ControlPlane::Exhausted& e) {
            return e.lastError;
        }
        ADD_FAILURE() << "the walk did not end exhausted";
        return nullptr;
    }

    test::TempDir dir;
    KavriStore store{dir.path()};
    ConfigFetcher::Limits limits{60, 5000ms};
};

std::optional<FetchError> asFetchError(const std::exception_ptr& e) {
    try {
        if (e) std::rethrow_exception(e);
    } catch (const FetchError& f) {
        return f;
    } catch (...) {
    }
    return std::nullopt;
}

std::optional<HttpError::Kind> asHttpError(const std::exception_ptr& e) {
    try {
        if (e) std::rethrow_exception(e);
    } catch (const HttpError& h) {
        return h.kind();
    } catch (...) {
    }
    return std::nullopt;
}

}  // namespace

TEST_F(ConfigFetcherTest, WalksPastAnUnavailableHostToASealedReply) {
    TestControlPlane down, up;
    down.scriptAlways(Reply::withStatus(503));
    const ojson meta = {
        {"state", "paid_autopay"},
        {"price_month", 299},
        {"currency", "RUB"},
        {"pull_interval_seconds", 600},
        {"device_removed", true},
        {"control_plane_fallbacks", {" 127.0.0.1:7001 ", "127.0.0.1:7002"}},
        {"expires_at_unix", 1893456000},
        {"trial_notice", {{"hours_before", 24}, {"body", "b"}}},
        {"detect_ref", {"r1", " r2 "}},
        {"detect", {{"hb_interval_ms", 100}, {"config_poll_sec", 120}}},
        {"stall_watch", {{"stall_seconds_bg", 30}}},
        {"config_epoch", 7},
    };
    up.setSubscription(token, subscription(meta));
    use({&down, &up});

    const auto f = fetch();

    EXPECT_EQ(f.config, R"({"outbounds":[{"tag":"direct","type":"direct"}]})");
    EXPECT_EQ(f.state, SubscriptionState::paidAutopay);
    EXPECT_EQ(f.priceMonth, 299);
    EXPECT_EQ(f.currency, "RUB");
    EXPECT_EQ(f.pullIntervalSeconds, 600);
    EXPECT_EQ(f.detectRefs, (std::vector<std::string>{"r1", "r2"}));
    EXPECT_EQ(f.detectRaw, json(meta["detect"]));
    EXPECT_EQ(f.stallWatchRaw, json(meta["stall_watch"]));
    EXPECT_EQ(f.expiresAtUnix, 1893456000);
    EXPECT_EQ(f.trialNotice, json(meta["trial_notice"]));
    EXPECT_EQ(f.configEpoch, 7);

    EXPECT_EQ(store.boolValue(KavriDefaultsKey::deviceRemoved), true);
    EXPECT_EQ(json::parse(store.data(KavriDefaultsKey::cpFallbacksJSON).value()),
              json({"127.0.0.1:7001", "127.0.0.1:7002"}));
    // The detection settings are the caller's to store.
    EXPECT_FALSE(store.object(KavriDefaultsKey::detectConfigJSON));
    EXPECT_EQ(store.string(KavriDefaultsKey::cpLastGoodHost), up.host());

    // One attempt per host, each with its own sealing key.
    ASSERT_EQ(down.requestCount(), 1u);
    ASSERT_EQ(up.requestCount(), 1u);
    EXPECT_NE(down.requests()[0].header("X-Kavri-EphPub"), up.requests()[0].header("X-Kavri-EphPub"));
    EXPECT_NE(down.requests()[0].header("X-Kavri-Nonce"), up.requests()[0].header("X-Kavri-Nonce"));

    // The reply was sealed: against another server key it does not open.
    store.removeObject(KavriDefaultsKey::cpFallbacksJSON);
    Deployment otherKey = TestControlPlane::deploymentFor({&up});
    otherKey.serverPublicKey = SealingKey::generate().publicKeyBase64();
    Deployment::install(otherKey);
    EXPECT_EQ(asFetchError(exhaustedError()), FetchError::malformed());
}

TEST_F(ConfigFetcherTest, AccountRefusalEndsTheWalkAtOnce) {
    for (int status : {401, 402, 403}) {
        SCOPED_TRACE(status);
        TestControlPlane refusing, spare;
        refusing.script(Reply::withStatus(status));
        spare.setSubscription(token, subscription({}));
        use({&refusing, &spare});
        try {
            fetch();
            ADD_FAILURE() << "no error";
        } catch (const FetchError& e) {
            EXPECT_EQ(e, FetchError::http(status));
        }
        EXPECT_EQ(spare.requestCount(), 0u);
        EXPECT_EQ(store.object(KavriDefaultsKey::cpLastGoodHost), std::nullopt);
        EXPECT_EQ(store.object(KavriDefaultsKey::deviceRemoved), std::nullopt);
    }
}

TEST_F(ConfigFetcherTest, RequestCarriesItsHeadersInOrder) {
    struct Case {
        std::optional<std::string> deviceID;
        bool shed, homeback, toggle;
        std::string target;
        std::vector<std::string> names;
    };
    const std::vector<Case> cases = {
        {"DEV-9", true, true, true, "/sub/tok3n?toggle=1",
         {"User-Agent", "X-Kavri-Caps", "X-Kavri-Build", "X-Kavri-Shed", "X-Kavri-Homeback", "X-Device-Id",
          "X-Kavri-EphPub", "X-Kavri-Nonce"}},
        {"", false, false, false, "/sub/tok3n",
         {"User-Agent", "X-Kavri-Caps", "X-Kavri-Build", "X-Kavri-EphPub", "X-Kavri-Nonce"}},
        {std::nullopt, true, false, false, "/sub/tok3n",
         {"User-Agent", "X-Kavri-Caps", "X-Kavri-Build", "X-Kavri-Shed", "X-Kavri-EphPub", "X-Kavri-Nonce"}},
        // An identifier that would smuggle in a second header counts as none.
        {"DEV-9\r\nX-Injected: 1", false, false, false, "/sub/tok3n",
         {"User-Agent", "X-Kavri-Caps", "X-Kavri-Build", "X-Kavri-EphPub", "X-Kavri-Nonce"}},
    };
    TestControlPlane plane;
    plane.setSubscription(token, subscription({}));
    use({&plane});
    const std::set<std::string> ours = {"User-Agent",       "X-Kavri-Caps", "X-Kavri-Build",  "X-Kavri-Shed",
                                        "X-Kavri-Homeback", "X-Device-Id",  "X-Kavri-EphPub", "X-Kavri-Nonce",
                                        "X-Injected"};
    for (const auto& c : cases) {
        plane.clearRequests();
        fetch(c.deviceID, c.shed, c.homeback, c.toggle);
        const auto request = plane.requests().at(0);
        EXPECT_EQ(request.method, "GET");
        EXPECT_EQ(request.target, c.target);
        std::vector<std::string> names;
        for (const auto& [name, value] : request.headers)
            if (ours.contains(name)) names.push_back(name);
        EXPECT_EQ(names, c.names);
        EXPECT_EQ(request.header("User-Agent"), "KavriApp iOS-NE");
        EXPECT_EQ(request.header("X-Kavri-Caps"), KavriConstants::clientCaps);
        EXPECT_EQ(request.header("X-Kavri-Build"), KavriConstants::clientBuild());
        EXPECT_EQ(request.header("X-Kavri-Shed"), c.shed ? std::optional<std::string>("1") : std::nullopt);
        EXPECT_EQ(request.header("X-Kavri-Homeback"), c.homeback ? std::optional<std::string>("1") : std::nullopt);
        if (std::find(c.names.begin(), c.names.end(), "X-Device-Id") != c.names.end()) {
            EXPECT_EQ(request.header("X-Device-Id"), *c.deviceID);
        }
    }
}

TEST_F(ConfigFetcherTest, UnusableRepliesMoveOnCarryingTheirError) {
    auto plainJson = [](std::string body, HttpHeaders headers = {}) {
        Reply r = Reply::json(std::move(body));
        r.headers = std::move(headers);
        return r;
    };
    const std::string deep = "{\"a\":" + std::string(100000, '[') + std::string(100000, ']') + "}";
    struct Case {
        const char* name;
        Reply reply;
        TestControlPlane::Sealing sealing;
        std::optional<FetchError> fetchError;
        std::optional<HttpError::Kind> httpError;  // neither: carries nothing
    };
    const std::vector<Case> cases = {
        {"JSON array", plainJson("[1,2]"), TestControlPlane::Sealing::Plain, FetchError::malformed(), {}},
        {"not JSON", plainJson("{\"a\":"), TestControlPlane::Sealing::Plain, FetchError::malformed(), {}},
        {"deeply nested", plainJson(deep), TestControlPlane::Sealing::Plain, FetchError::malformed(), {}},
        {"marked sealed but plain", plainJson("{}", {{"X-Kavri-Enc", "1"}}), TestControlPlane::Sealing::Plain,
         FetchError::malformed(), {}},
        {"sealed with another key", Reply{} /* the subscription itself */, TestControlPlane::Sealing::WrongKey,
         FetchError::malformed(), {}},
        {"204", Reply::withStatus(204), TestControlPlane::Sealing::Sealed, FetchError::http(204), {}},
        {"304", Reply::withStatus(304), TestControlPlane::Sealing::Sealed, FetchError::http(304), {}},
        {"404", Reply::withStatus(404), TestControlPlane::Sealing::Sealed, FetchError::http(404), {}},
        {"500", Reply::withStatus(500), TestControlPlane::Sealing::Sealed, FetchError::http(500), {}},
        {"not HTTP", Reply::notHttp(), TestControlPlane::Sealing::Sealed, {}, {}},
        {"dropped", Reply::close(), TestControlPlane::Sealing::Sealed, {}, HttpError::Kind::Transport},
        {"dropped mid-body", Reply::cutBody("{\"outbounds\":[" + std::string(64 * 1024, ' ') + "]}"),
         TestControlPlane::Sealing::Sealed, {}, HttpError::Kind::Transport},
        {"hangs", Reply::hang(), TestControlPlane::Sealing::Sealed, {}, HttpError::Kind::TimedOut},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // Only a hanging host needs a short limit; the others answer at once.
        limits.attemptTimeout = c.reply.kind == Reply::Kind::Hang ? 200ms : 5000ms;
        TestControlPlane bad, good;
        bad.setSealing(c.sealing);
        if (c.sealing == TestControlPlane::Sealing::WrongKey)
            bad.setSubscription(token, subscription({}));
        else
            bad.scriptAlways(c.reply);
        good.setSubscription(token, subscription({{"state", "trial"}}));

        use({&bad});  // alone: the walk ends with its error
        const auto last = exhaustedError();
        EXPECT_EQ(asFetchError(last), c.fetchError);
        EXPECT_EQ(asHttpError(last), c.httpError);
        if (!c.fetchError && !c.httpError) {
            EXPECT_EQ(last, nullptr);
        }

        use({&bad, &good});  // followed by a good host: that one answers
        EXPECT_EQ(fetch().state, SubscriptionState::trial);
        EXPECT_EQ(store.string(KavriDefaultsKey::cpLastGoodHost), good.host());
        store.removeObject(KavriDefaultsKey::cpLastGoodHost);
    }
}

TEST_F(ConfigFetcherTest, OnlyTheExactEncodingMarkMeansSealed) {
    TestControlPlane plane;
    Reply plain = Reply::json(subscription({{"currency", "EUR"}}).dump());
    plain.headers = {{"X-Kavri-Enc", "true"}};
    plane.scriptAlways(plain);
    use({&plane});
    EXPECT_EQ(fetch().currency, "EUR");
}

TEST_F(ConfigFetcherTest, ConfigurationIsReserialisedSortedAndCompactWithoutMeta) {
    TestControlPlane plane;
    plane.setSealing(TestControlPlane::Sealing::Plain);
    plane.setSubscription(token, std::string(R"( {
        "route" : { "rules" : [ { "outbound" : "x", "domain" : [ "a/b" ] } ], "final" : "proxy" },
        "_kavri_meta" : 12,
        "log" : { "level" : "warn", "disabled" : false },
        "n" : null, "f" : 1.5, "i" : -3, "t" : "Привет"
    } )"));
    use({&plane});
    const auto f = fetch();
    EXPECT_EQ(f.config,
              R"({"f":1.5,"i":-3,"log":{"disabled":false,"level":"warn"},"n":null,)"
              R"("route":{"final":"proxy","rules":[{"domain":["a\/b"],"outbound":"x"}]},"t":"Привет"})");
    // A meta block that is not an object counts as none.
    EXPECT_EQ(f.state, std::nullopt);
    EXPECT_TRUE(f.detectRefs.empty());
    EXPECT_EQ(store.object(KavriDefaultsKey::deviceRemoved), PlistValue(false));
}

TEST_F(ConfigFetcherTest, MetaValuesOfTheWrongTypeAreAbsentOneByOne) {
    TestControlPlane plane;
    plane.setSealing(TestControlPlane::Sealing::Plain);
    use({&plane});
    auto fetchMeta = [&](const ojson& meta) {
        plane.setSubscription(token, subscription(meta));
        return fetch();
    };
    using F = ConfigFetcher::Fetched;
    struct Case {
        ojson meta;
        std::function<void(const F&)> check;
    };
    const std::vector<Case> cases = {
        {{{"state", "Trial"}}, [](const F& f) { EXPECT_EQ(f.state, std::nullopt); }},
        {{{"state", "granted"}}, [](const F& f) { EXPECT_EQ(f.state, SubscriptionState::granted); }},
        {{{"price_month", 199.0}}, [](const F& f) { EXPECT_EQ(f.priceMonth, 199); }},
        {{{"price_month", 199.5}}, [](const F& f) { EXPECT_EQ(f.priceMonth, std::nullopt); }},
        {{{"price_month", "199"}}, [](const F& f) { EXPECT_EQ(f.priceMonth, std::nullopt); }},
        {{{"price_month", true}}, [](const F& f) { EXPECT_EQ(f.priceMonth, std::nullopt); }},
        {{{"currency", 5}}, [](const F& f) { EXPECT_EQ(f.currency, std::nullopt); }},
        {{{"pull_interval_seconds", 1e30}}, [](const F& f) { EXPECT_EQ(f.pullIntervalSeconds, std::nullopt); }},
        {{{"expires_at_unix", "1700000000"}}, [](const F& f) { EXPECT_EQ(f.expiresAtUnix, std::nullopt); }},
        {{{"expires_at_unix", 1700000000.9}}, [](const F& f) { EXPECT_EQ(f.expiresAtUnix, 1700000000); }},
        {{{"config_epoch", "42"}}, [](const F& f) { EXPECT_EQ(f.configEpoch, 42); }},
        {{{"config_epoch", "-7"}}, [](const F& f) { EXPECT_EQ(f.configEpoch, -7); }},
        {{{"config_epoch", "4 2"}}, [](const F& f) { EXPECT_EQ(f.configEpoch, std::nullopt); }},
        {{{"config_epoch", 3.7}}, [](const F& f) { EXPECT_EQ(f.configEpoch, 3); }},
        {{{"config_epoch", false}}, [](const F& f) { EXPECT_EQ(f.configEpoch, std::nullopt); }},
        {{{"detect_ref", "  one \n"}}, [](const F& f) { EXPECT_EQ(f.detectRefs, std::vector<std::string>{"one"}); }},
        {{{"detect_ref", " \t "}}, [](const F& f) { EXPECT_TRUE(f.detectRefs.empty()); }},
        {{{"detect_ref", "\u00A0two\u3000"}}, [](const F& f) { EXPECT_EQ(f.detectRefs, std::vector<std::string>{"two"}); }},
        {{{"detect_ref", {" a", "", "b\n"}}},
         [](const F& f) { EXPECT_EQ(f.detectRefs, (std::vector<std::string>{"a", "b"})); }},
        {{{"detect_ref", {"a", 1}}}, [](const F& f) { EXPECT_TRUE(f.detectRefs.empty()); }},
        {{{"trial_notice", ojson::array()}}, [](const F& f) { EXPECT_EQ(f.trialNotice, std::nullopt); }},
        {{{"detect", ojson::array({1})}}, [](const F& f) { EXPECT_EQ(f.detectRaw, json::array({1})); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.meta.dump());
        c.check(fetchMeta(c.meta));
    }

    // Store effects: a non-Boolean mark counts as false, and a list that is
    // not all texts keeps what is stored.
    fetchMeta({{"device_removed", true}, {"control_plane_fallbacks", {"127.0.0.1:7001"}}});
    fetchMeta({{"device_removed", "true"}, {"control_plane_fallbacks", {"127.0.0.1:7002", 3}}});
    EXPECT_EQ(store.boolValue(KavriDefaultsKey::deviceRemoved), false);
    EXPECT_EQ(json::parse(store.data(KavriDefaultsKey::cpFallbacksJSON).value()), json({"127.0.0.1:7001"}));
}

// The token is one path segment: whatever it holds, it cannot reach another
// endpoint or add a query.
TEST_F(ConfigFetcherTest, TokenCannotChangeThePathOrQuery) {
    const std::string hostile = "a/../../status/x?toggle=1&y=2#frag ment";
    TestControlPlane plane;
    plane.setSubscription(hostile, subscription({{"currency", "USD"}}));
    use({&plane});
    const auto f = ConfigFetcher::fetch(hostile, std::nullopt, false, false, false, KavriHTTP::api(), {}, limits,
                                        Clock::system(), store);
    EXPECT_EQ(f.currency, "USD");
    const auto request = plane.requests().at(0);
    EXPECT_EQ(request.target, "/sub/a%2F..%2F..%2Fstatus%2Fx%3Ftoggle%3D1%26y%3D2%23frag%20ment");
    EXPECT_EQ(request.target.find('?'), std::string::npos);
    EXPECT_EQ(request.matches.at(1), hostile);
}

TEST_F(ConfigFetcherTest, StopEndsTheWalkWithoutTryingFurtherHosts) {
    TestControlPlane hanging, spare;
    hanging.scriptAlways(Reply::hang());
    spare.setSubscription(token, subscription({}));
    use({&hanging, &spare});
    limits.attemptTimeout = 30s;
    std::stop_source stop;
    std::jthread canceller([&] {
        hanging.waitForRequests(1);
        stop.request_stop();
    });
    const auto started = std::chrono::steady_clock::now();
    try {
        fetch("DEVICE-1", false, false, false, stop.get_token());
        ADD_FAILURE() << "no error";
    } catch (const HttpError& e) {
        EXPECT_EQ(e.kind(), HttpError::Kind::Cancelled);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
    EXPECT_EQ(spare.requestCount(), 0u);
}
