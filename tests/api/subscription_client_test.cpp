#include "api/subscription_client.h"

#include <gtest/gtest.h>

#include <regex>
#include <thread>

#include "api/device_id.h"
#include "core/control_plane.h"
#include "core/deployment.h"
#include "core/kavri_constants.h"
#include "core/kavri_defaults_key.h"
#include "platform/runtime/fake_clock.h"
#include "testing/test_control_plane.h"
#include "tests/support/loopback_port.h"
#include "tests/support/temp_dir.h"

namespace kavri {
namespace {

using namespace std::chrono_literals;
using json = nlohmann::json;
using ojson = nlohmann::ordered_json;
using Reply = TestControlPlane::Reply;
using FetchError = SubscriptionClient::FetchError;

const std::string token = "0123456789abcdef-ABCDEF_";

const ojson minimalMeta = {{"version", 4}, {"pull_interval_seconds", 900}, {"tier_0_apps", {{"ios", ojson::array()}}}};

// An engine configuration as served, with its metadata block in the middle.
std::string served(const ojson& meta) {
    ojson body;
    body["route"] = {{"final", "proxy"}};
    body["_kavri_meta"] = meta;
    body["outbounds"] = ojson::array({{{"type", "direct"}, {"tag", "direct"}}});
    return body.dump();
}
const char* servedConfig = R"({"outbounds":[{"tag":"direct","type":"direct"}],"route":{"final":"proxy"}})";

class SubscriptionClientTest : public ::testing::Test {
protected:
    void TearDown() override { Deployment::install(saved); }

    void use(const std::vector<const TestControlPlane*>& planes) {
        Deployment::install(TestControlPlane::deploymentFor(planes));
    }
    SubscriptionClient client(Clock& clock = Clock::system()) {
        return SubscriptionClient(KavriHTTP::api(), store, clock);
    }
    // What a failed attempt must leave as it was.
    void seedSideSettings() {
        store.set(KavriDefaultsKey::deviceRemoved, true);
        store.set(KavriDefaultsKey::detectConfigJSON, Data{R"({"hb_interval_ms":9000})"});
        ControlPlane::updateFallbacks({"127.0.0.1:7999"}, store);
        DeviceID::current(store);  // made once, by the first request otherwise
    }

    const Deployment saved = Deployment::current();
    test::TempDir dir;
    KavriStore store{dir.path()};
};

// The error a call ends with, and whether it asked for the next host.
struct Outcome {
    std::optional<FetchError> error;
    bool nextHost = false;
};

template <class F>
Outcome outcomeOf(F&& call) {
    try {
        call();
    } catch (const FetchError& e) {
        return {e, false};
    } catch (const ControlPlane::RetryNextHost& retry) {
        try {
            std::rethrow_exception(retry.underlying);
        } catch (const FetchError& e) {
            return {e, true};
        } catch (...) {
        }
        ADD_FAILURE() << "the next host was asked for without a FetchError";
    }
    return {};
}

std::vector<std::string> ourHeaderNames(const TestControlPlane::Request& r) {
    static const std::vector<std::string> ours = {"Accept",        "User-Agent",     "X-Device-Id",  "X-Kavri-Caps",
                                                  "X-Kavri-Build", "X-Kavri-EphPub", "X-Kavri-Nonce"};
    std::vector<std::string> names;
    for (const auto& [name, value] : r.headers)
        if (std::find(ours.begin(), ours.end(), name) != ours.end()) names.push_back(name);
    return names;
}

TEST_F(SubscriptionClientTest, WalksPastAnUnavailableHostToASealedReplyAndKeepsItsSideSettings) {
    TestControlPlane a, b;
    a.scriptAlways(Reply::withStatus(503));
    ojson meta = minimalMeta;
    meta["support_url"] = "https://support.example/help";
    meta["tier_0_apps"]["ios"] = {{{"name", "Bank"}, {"bundle_id", "ru.bank"}}};
    meta["device_removed"] = true;
    meta["control_plane_fallbacks"] = {" 127.0.0.1:7001 ", "127.0.0.1:7002"};
    meta["detect"] = {{"hb_interval_ms", 3000}};
    b.script(Reply::subscription(served(meta),
                                 {{"Subscription-Userinfo", "upload=10; download=20; total=100; expire=1893456000"}}));
    use({&a, &b});

    const auto result = client().fetch(" " + token + "\n", 8);

    EXPECT_EQ(result.singboxConfigData, servedConfig);
    EXPECT_EQ(result.meta, SubscriptionMeta::fromJson(json(meta)));
    EXPECT_EQ(result.meta.supportURL, "https://support.example/help");
    EXPECT_EQ(result.userinfo, (SubscriptionUserinfo{10, 20, 100, 1893456000}));
    EXPECT_EQ(store.object(KavriDefaultsKey::deviceRemoved), PlistValue(true));
    EXPECT_EQ(json::parse(store.data(KavriDefaultsKey::cpFallbacksJSON).value()),
              json({"127.0.0.1:7001", "127.0.0.1:7002"}));
    EXPECT_EQ(json::parse(store.data(KavriDefaultsKey::detectConfigJSON).value()), json({{"hb_interval_ms", 3000}}));
    EXPECT_EQ(store.string(KavriDefaultsKey::cpLastGoodHost), b.host());

    // Both attempts sent the same headers in the same order, each with a
    // sealing key and nonce of its own.
    ASSERT_EQ(a.requestCount(), 1u);
    ASSERT_EQ(b.requestCount(), 1u);
    const auto atA = a.requests().front(), atB = b.requests().front();
    EXPECT_EQ(atB.method, "GET");
    EXPECT_EQ(atB.target, "/sub/0123456789abcdef-ABCDEF_");
    const std::vector<std::string> order = {"Accept",        "User-Agent",     "X-Device-Id",  "X-Kavri-Caps",
                                            "X-Kavri-Build", "X-Kavri-EphPub", "X-Kavri-Nonce"};
    EXPECT_EQ(ourHeaderNames(atA), order);
    EXPECT_EQ(ourHeaderNames(atB), order);
    EXPECT_EQ(atB.header("Accept"), "application/json");
    EXPECT_TRUE(std::regex_match(atB.header("User-Agent").value(), std::regex("KavriApp/[0-9.]+ iOS")));
    EXPECT_EQ(atB.header("X-Device-Id"), DeviceID::current(store));
    EXPECT_EQ(atB.header("X-Kavri-Caps"), KavriConstants::clientCaps);
    EXPECT_EQ(atB.header("X-Kavri-Build"), KavriConstants::clientBuild());
    EXPECT_EQ(atB.header("X-Kavri-EphPub").value().size(), 44u);
    EXPECT_EQ(atB.header("X-Kavri-Nonce").value().size(), 16u);
    EXPECT_NE(atA.header("X-Kavri-EphPub"), atB.header("X-Kavri-EphPub"));
    EXPECT_NE(atA.header("X-Kavri-Nonce"), atB.header("X-Kavri-Nonce"));
}

TEST_F(SubscriptionClientTest, EachUnusableReplyEndsTheAttemptWithItsErrorAndWritesNothing) {
    TestControlPlane plane;
    use({&plane});
    const std::string good = served(minimalMeta);
    ojson wrongType = minimalMeta;
    wrongType["version"] = "4";
    ojson noApps = minimalMeta;
    noApps.erase("tier_0_apps");
    Reply wrongKey = Reply::subscription(good);
    wrongKey.sealing = TestControlPlane::Sealing::WrongKey;
    Reply claimsSealed = Reply::json(good);
    claimsSealed.headers = {{"X-Kavri-Enc", "1"}};
    const std::string deep =
        R"({"_kavri_meta":)" + minimalMeta.dump() + R"(,"x":)" + std::string(5000, '[') + std::string(5000, ']') + "}";

    // Sent as it is (not compressed), so the client learns its length at once.
    Reply huge = Reply::json(std::string(50 << 20, ' ') + good);
    huge.contentType = "application/octet-stream";

    const std::string missingMeta = "Невалидный ответ: missing _kavri_meta: ";
    const struct {
        const char* name;
        Reply reply;
        bool nextHost;
        FetchError::Kind kind;
        std::string text;  // the whole text, or its beginning when it ends in ": "
    } cases[] = {
        {"401", Reply::withStatus(401), false, FetchError::Kind::unauthorized, "Ключ доступа недействителен"},
        {"402", Reply::withStatus(402), false, FetchError::Kind::expired, "Подписка истекла"},
        {"403", Reply::withStatus(403), false, FetchError::Kind::suspended, "Подписка приостановлена"},
        {"503", Reply::withStatus(503), true, FetchError::Kind::noEndpoints,
         "Сервис временно недоступен, попробуйте позже"},
        {"500", Reply::withStatus(500), true, FetchError::Kind::server, "Ошибка сервера: 500"},
        {"204", Reply::withStatus(204), true, FetchError::Kind::server, "Ошибка сервера: 204"},
        {"sealed with another key", wrongKey, true, FetchError::Kind::malformed, "Невалидный ответ: decrypt failed"},
        {"marked sealed but plain", claimsSealed, true, FetchError::Kind::malformed,
         "Невалидный ответ: decrypt failed"},
        {"not JSON", Reply::json("<html>busy</html>"), true, FetchError::Kind::malformed, missingMeta},
        {"a JSON list", Reply::json("[" + good + "]"), true, FetchError::Kind::malformed, missingMeta},
        {"no metadata", Reply::json(R"({"outbounds":[]})"), true, FetchError::Kind::malformed, missingMeta},
        {"metadata of a wrong type", Reply::json(served(wrongType)), true, FetchError::Kind::malformed, missingMeta},
        {"metadata without a required member", Reply::json(served(noApps)), true, FetchError::Kind::malformed,
         missingMeta},
        {"nested deeper than any configuration", Reply::json(deep), true, FetchError::Kind::malformed, missingMeta},
        {"not HTTP", Reply::notHttp(), true, FetchError::Kind::malformed, "Невалидный ответ: non-HTTP response"},
        {"dropped without a reply", Reply::close(), true, FetchError::Kind::network,
         "Сетевая ошибка: Сетевое соединение потеряно."},
        {"cut off halfway", Reply::cutBody(good), true, FetchError::Kind::network,
         "Сетевая ошибка: Сетевое соединение потеряно."},
        {"50 MB body", huge, true, FetchError::Kind::network,
         "Сетевая ошибка: Ресурс превышает максимально допустимый размер."},
        {"no answer", Reply::hang(), true, FetchError::Kind::network,
         "Сетевая ошибка: Превышен лимит времени на запрос."},
    };
    seedSideSettings();
    const auto before = store.snapshot();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        plane.script(c.reply);
        // Only the hang (the last case) may run into a limit; for the others
        // the limits are guards alone, far above what a loaded machine takes
        // to head a 50 MB reply (the request's limit runs from the request
        // until its first byte, the session's over the whole exchange).
        const double timeout = c.reply.kind == Reply::Kind::Hang ? 1.0 : 120;
        const SubscriptionClient guarded(KavriHTTP::apiSession(120), store);
        const auto outcome = outcomeOf([&] { guarded.fetch(plane.baseURL(), token, timeout); });
        ASSERT_TRUE(outcome.error);
        EXPECT_EQ(outcome.nextHost, c.nextHost);
        EXPECT_EQ(outcome.error->kind(), c.kind);
        if (c.text.ends_with(": "))
            EXPECT_TRUE(outcome.error->errorDescription().starts_with(c.text)) << outcome.error->errorDescription();
        else
            EXPECT_EQ(outcome.error->errorDescription(), c.text);
        EXPECT_EQ(store.snapshot(), before);
    }
    plane.releaseHangs();
}

TEST_F(SubscriptionClientTest, ThePlainReplyIsReadAsItCameAndOnlyTheMetadataCarriesSideSettings) {
    TestControlPlane plane;
    use({&plane});
    seedSideSettings();
    const auto fallbacksBefore = store.data(KavriDefaultsKey::cpFallbacksJSON);
    ojson meta = minimalMeta;
    meta["detect"] = "not an object";                         // keeps the stored detection settings
    meta["control_plane_fallbacks"] = {"127.0.0.1:7100", 5};  // not all texts: ignored
    ojson body = json::parse(served(meta));
    body["control_plane_fallbacks"] = {"127.0.0.1:7200"};  // outside the metadata: just configuration
    Reply reply = Reply::json(body.dump());
    reply.headers = {{"X-Kavri-Enc", "0"}, {"Subscription-Userinfo", "garbage; upload=x"}};
    plane.script(reply);

    const auto result = client().fetch(token, 8);

    EXPECT_EQ(result.singboxConfigData,
              R"({"control_plane_fallbacks":["127.0.0.1:7200"],"outbounds":[{"tag":"direct","type":"direct"}],)"
              R"("route":{"final":"proxy"}})");
    EXPECT_EQ(result.userinfo, SubscriptionUserinfo{});
    EXPECT_EQ(store.object(KavriDefaultsKey::deviceRemoved), PlistValue(false));  // absent: false
    EXPECT_EQ(store.data(KavriDefaultsKey::detectConfigJSON), std::string(R"({"hb_interval_ms":9000})"));
    EXPECT_EQ(store.data(KavriDefaultsKey::cpFallbacksJSON), fallbacksBefore);

    // Without the header there are no counters.
    plane.setSealing(TestControlPlane::Sealing::Plain);
    plane.setSubscription(token, served(minimalMeta));
    EXPECT_EQ(client().fetch(token, 8).userinfo, std::nullopt);
}

TEST_F(SubscriptionClientTest, TheWalkEndsAtAFinalStatusMovesOnPastOthersAndReportsTheLastError) {
    const ojson meta = minimalMeta;
    Reply wrongKey = Reply::subscription(served(meta));
    wrongKey.sealing = TestControlPlane::Sealing::WrongKey;
    const struct {
        const char* name;
        Reply atA;
        std::optional<Reply> atB;              // none: B serves the subscription
        std::optional<FetchError::Kind> kind;  // none: B's configuration
        std::string text;
        std::size_t requestsAtB;
    } cases[] = {
        {"401 at A ends the walk", Reply::withStatus(401), std::nullopt, FetchError::Kind::unauthorized,
         "Ключ доступа недействителен", 0},
        {"a wrong-key seal at A moves on", wrongKey, std::nullopt, std::nullopt, "", 1},
        {"every host fails: the last one's error", Reply::withStatus(503), Reply::withStatus(502),
         FetchError::Kind::server, "Ошибка сервера: 502", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TestControlPlane a, b;
        b.setSubscription(token, served(meta));
        a.script(c.atA);
        if (c.atB) b.script(*c.atB);
        use({&a, &b});
        store.removeObject(KavriDefaultsKey::cpLastGoodHost);
        try {
            const auto result = client().fetch(token, 8);
            EXPECT_FALSE(c.kind);
            EXPECT_EQ(result.singboxConfigData, servedConfig);
            EXPECT_EQ(store.string(KavriDefaultsKey::cpLastGoodHost), b.host());
        } catch (const FetchError& e) {
            ASSERT_TRUE(c.kind) << e.errorDescription();
            EXPECT_EQ(e.kind(), *c.kind);
            EXPECT_EQ(e.errorDescription(), c.text);
            EXPECT_EQ(store.string(KavriDefaultsKey::cpLastGoodHost), std::nullopt);
        }
        EXPECT_EQ(a.requestCount(), 1u);
        EXPECT_EQ(b.requestCount(), c.requestsAtB);
    }
}

TEST_F(SubscriptionClientTest, TheBudgetIsLookedAtBeforeEachHost) {
    TestControlPlane a, b;
    b.setSubscription(token, served(minimalMeta));
    FakeClock clock;
    a.route("GET", "/sub/(.+)", [&](const TestControlPlane::Request&) {
        clock.advance(61s);  // the attempt outlives the whole budget
        return Reply::withStatus(503);
    });
    use({&a, &b});
    const auto outcome = outcomeOf([&] { client(clock).fetch(token, 8); });
    ASSERT_TRUE(outcome.error);
    EXPECT_EQ(outcome.error->kind(), FetchError::Kind::noEndpoints);
    EXPECT_EQ(b.requestCount(), 0u);
}

TEST_F(SubscriptionClientTest, WithoutAnyReplyTheWalkEndsInANetworkError) {
    const test::LoopbackPort refusing(-1);
    const struct {
        const char* name;
        std::string host;
    } cases[] = {
        {"no host forms a URL", "not a host"},
        {"the only host refuses connections", "127.0.0.1:" + refusing.number()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Deployment d = Deployment::current();
        d.hosts = {{c.host, {}}};
        Deployment::install(d);
        try {
            client().fetch(token, 8);
            ADD_FAILURE() << "fetched";
        } catch (const FetchError& e) {
            EXPECT_EQ(e.kind(), FetchError::Kind::network);
            EXPECT_EQ(e.errorDescription(), "Сетевая ошибка: Не удалось подключиться к серверу.");
        }
    }
}

TEST_F(SubscriptionClientTest, TokenFromPastedText) {
    const struct {
        const char* pasted;
        std::optional<std::string> token;  // none: invalidURL
    } cases[] = {
        {"  0123456789abcdef \n", "0123456789abcdef"},
        {"0123456789ABCDEF-_", "0123456789ABCDEF-_"},
        {"0123456789abcde", std::nullopt},   // fifteen
        {"0123456789abcdeg", std::nullopt},  // not hexadecimal
        {"0123456789abcdef 0123456789abcdef", std::nullopt},
        {"kavri://import?token=xyz", "xyz"},
        {"kavri://import?x=1&token=a%2Fb&token=second", "a/b"},
        {"kavri://import?token=", std::nullopt},  // an empty value is no token
        {"kavri://link?code=123456", std::nullopt},
        {"kavrix://import?token=xyz", std::nullopt},
        {"https://h.example/sub/abc", "abc"},
        {"https://h.example/sub/abc/?token=zzz", "abc"},  // only the app's own links carry a token item
        {"http://h.example:2053/api/sub/T%209", "T 9"},
        {"https://h.example/sub/", std::nullopt},
        {"https://h.example/sub", std::nullopt},
        {"https://h.example/", std::nullopt},
        {"https://h.example", std::nullopt},
        {"https://h.example/sub/a b", std::nullopt},  // not a URL
        {"", std::nullopt},
    };
    for (const auto& c : cases) {
        try {
            EXPECT_EQ(SubscriptionClient::token(c.pasted), c.token) << c.pasted;
        } catch (const FetchError& e) {
            EXPECT_FALSE(c.token) << c.pasted;
            EXPECT_EQ(e.kind(), FetchError::Kind::invalidURL);
            EXPECT_EQ(e.errorDescription(), "Невалидный URL подписки");
        }
    }
}

TEST_F(SubscriptionClientTest, ATokenFromAPastedLinkTravelsAsOneEncodedPathSegment) {
    const struct {
        const char* pasted;
        std::string token;
        std::string target;
    } cases[] = {
        {"kavri://import?token=..%2F..%2Fstatus%2Fx%3Fy%3D1%23z", "../../status/x?y=1#z",
         "/sub/..%2F..%2Fstatus%2Fx%3Fy%3D1%23z"},
        {"https://h.example/sub/k%C3%A9y%20X:%201%2F..", "k\xC3\xA9y X: 1/..", "/sub/k%C3%A9y%20X%3A%201%2F.."},
    };
    TestControlPlane plane;
    plane.setSealing(TestControlPlane::Sealing::Plain);
    use({&plane});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pasted);
        plane.clearRequests();
        plane.setSubscription(c.token, served(minimalMeta));
        EXPECT_EQ(client().fetch(c.pasted, 8).singboxConfigData, servedConfig);
        ASSERT_EQ(plane.requestCount(), 1u);
        EXPECT_EQ(plane.requests().front().target, c.target);
    }
}

TEST_F(SubscriptionClientTest, AStopEndsTheWalkAtOnceAndLeavesTheStoreAsItWas) {
    TestControlPlane a, b;
    a.scriptAlways(Reply::hang());
    b.setSubscription(token, served(minimalMeta));
    use({&a, &b});
    seedSideSettings();
    const auto before = store.snapshot();
    std::stop_source stop;
    std::thread canceller([&] {
        if (a.waitForRequests(1, 30s)) stop.request_stop();
    });
    try {
        client().fetch(token, 30, stop.get_token());
        ADD_FAILURE() << "fetched";
    } catch (const HttpError& e) {
        EXPECT_EQ(e.kind(), HttpError::Kind::Cancelled);
    }
    canceller.join();
    EXPECT_EQ(b.requestCount(), 0u);
    EXPECT_EQ(store.snapshot(), before);
    a.releaseHangs();
}

}  // namespace
}  // namespace kavri
