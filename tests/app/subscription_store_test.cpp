#include "app/subscription_store.h"

#include <gtest/gtest.h>

#include <stdlib.h>

#include <fstream>
#include <functional>

#include "api/device_id.h"
#include "app/runtime/manual_executor.h"
#include "core/deployment.h"
#include "core/kavri_defaults_key.h"
#include "core/keychain.h"
#include "platform/runtime/fake_clock.h"
#include "testing/test_control_plane.h"
#include "tests/support/temp_dir.h"

namespace kavri {
namespace {

using namespace std::chrono_literals;
using json = nlohmann::json;
using ojson = nlohmann::ordered_json;
using Reply = TestControlPlane::Reply;
using Key = Keychain::Item;
namespace K = KavriDefaultsKey;

const std::string token = "0123456789abcdef";
const std::string newer = "fedcba9876543210";

const ojson meta = {{"version", 7}, {"pull_interval_seconds", 1800}, {"tier_0_apps", {{"ios", ojson::array()}}}};
std::string served(const ojson& m = meta) {
    return ojson{{"outbounds", ojson::array({{{"tag", "proxy"}, {"type", "vless"}}})}, {"_kavri_meta", m}}.dump();
}
const char* servedConfig = R"({"outbounds":[{"tag":"proxy","type":"vless"}]})";

const json plan = {{"key", "m1"}, {"title", "Месяц"}, {"months", 1}, {"price", 390}, {"days", 30}};
const json stack = {{"manual_allowed", true}, {"location", {{"mode", "manual"}, {"id", "de-1"}}}, {"protocol", json::object()}};

class SubscriptionStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        Keychain::deleteItem(Key::subToken);
        Keychain::deleteItem(Key::deviceID);
        use({&a, &b});
        for (auto* plane : {&a, &b}) {
            plane->setSubscription(token, served());
            plane->setSubscription(newer, served());
        }
    }
    void TearDown() override {
        store.reset();
        Deployment::install(saved);
        Keychain::deleteItem(Key::subToken);
    }

    void use(const std::vector<const TestControlPlane*>& planes) {
        Deployment::install(TestControlPlane::deploymentFor(planes));
    }
    SubscriptionStore& make() {
        store = std::make_unique<SubscriptionStore>(main, SubscriptionClient(KavriHTTP::api(), shared, clock),
                                                    KavriAPI(KavriHTTP::api(), shared, clock), shared, clock,
                                                    [] { return json{{"ref", 42}}; });
        return *store;
    }
    // Runs `operation` on a store call and drives the main thread until it
    // ended; returns what it threw.
    std::exception_ptr run(const std::function<void(StoreCalls::Call&)>& operation) {
        std::exception_ptr error;
        bool ended = false;
        StoreCalls calls(main);
        calls.start([&](StoreCalls::Call& call) {
            try {
                operation(call);
            } catch (...) {
                error = std::current_exception();
            }
            call.onMain([&] { ended = true; });
        });
        EXPECT_TRUE(main.runUntil([&] { return ended; }, 120s));
        calls.waitIdle();
        return error;
    }
    std::vector<std::string> calls() const {
        std::vector<std::string> out;
        for (const auto& r : TestControlPlane::callLog({&a, &b})) out.push_back(r.call());
        return out;
    }
    std::optional<std::string> storeData(const char* key) { return shared.data(key); }

    const Deployment saved = Deployment::current();
    ManualExecutor main;
    FakeClock clock{Clock::WallTime(std::chrono::sys_days(std::chrono::year(2025) / 3 / 1))};
    TestControlPlane a, b;
    test::TempDir dir;
    KavriStore shared{dir.path()};
    std::unique_ptr<SubscriptionStore> store;
};

// --- start-up, provisioning ---

TEST_F(SubscriptionStoreTest, AFreshStartProvisionsThenPullsThenReadsTheStatus) {
    a.script(Reply::withStatus(503), "/provision");  // the first host is busy
    b.setProvisionedToken(token);
    const std::string status = json{{"state", "trial"}, {"app_id", 81}, {"plans", {plan}}}.dump();
    b.setStatus(token, status);
    auto& s = make();
    std::vector<bool> provisioning;
    auto sub = s.subscribe([&](std::string_view field) {
        if (field == "isProvisioning") provisioning.push_back(s.isProvisioning);
    });

    // The start-up task: each step after the previous one ended.
    EXPECT_FALSE(run([&](StoreCalls::Call& call) {
        s.ensureProvisioned(call);
        s.refresh(call);
        s.refreshStatus(call);
    }));

    const std::string sub_ = "GET /sub/" + token, status_ = "GET /status/" + token;
    EXPECT_EQ(calls(), (std::vector<std::string>{"POST /provision", "POST /provision", sub_, status_, sub_, status_}));
    EXPECT_EQ(json::parse(b.requests().front().body)["device_id"], DeviceID::current(shared));
    EXPECT_EQ(json::parse(b.requests().front().body)["attribution"], (json{{"ref", 42}}));
    EXPECT_EQ(Keychain::read(Key::subToken), token);
    EXPECT_TRUE(s.hasSubscription);
    EXPECT_EQ(provisioning, (std::vector<bool>{true, false}));
    EXPECT_EQ(s.lastError.get(), std::nullopt);
    EXPECT_EQ(s.state.get(), SubscriptionState::trial);
    EXPECT_EQ(s.subscriptionID.get(), 81);
    EXPECT_EQ(s.plans->size(), 1u);
    EXPECT_EQ(shared.string(K::subTokenForNE), token);
    EXPECT_EQ(shared.string(K::deviceIDForNE), DeviceID::current(shared));
    EXPECT_EQ(storeData(K::cachedSingboxConfig), servedConfig);
    EXPECT_EQ(storeData(K::cachedStatusJSON), status);
    EXPECT_EQ(shared.integer(K::subscriptionID), 81);
}

TEST_F(SubscriptionStoreTest, WithATokenStartingUpOnlyReadsTheStatus) {
    Keychain::write(token, Key::subToken);
    a.setStatus(token, R"({"role":"member"})");
    auto& s = make();
    EXPECT_FALSE(run([&](StoreCalls::Call& call) { s.ensureProvisioned(call); }));
    EXPECT_EQ(calls(), (std::vector<std::string>{"GET /status/" + token}));
    EXPECT_TRUE(s.isMember());
}

TEST_F(SubscriptionStoreTest, AFailedProvisioningShowsItsErrorAndKeepsNoToken) {
    const struct {
        const char* name;
        std::function<void()> script;
        std::string lastError;
        std::vector<std::string> calls;
    } cases[] = {
        {"refused", [&] { a.script(Reply::withStatus(409), "/provision"); }, "provision 409", {"POST /provision"}},
        {"issued a token that does not pull",
         [&] {
             a.setProvisionedToken(token);
             a.script(Reply::withStatus(401), "/sub/.*");
         },
         "Ключ доступа недействителен", {"POST /provision", "GET /sub/" + token}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        a.clearRequests();
        c.script();
        auto& s = make();
        s.role = "member";
        EXPECT_FALSE(run([&](StoreCalls::Call& call) { s.provision(call); }));
        EXPECT_EQ(s.lastError.get(), c.lastError);
        EXPECT_FALSE(s.isProvisioning);
        EXPECT_EQ(s.role.get(), std::nullopt);  // forgotten by a provisioning anew
        EXPECT_FALSE(s.hasSubscription);
        EXPECT_EQ(Keychain::read(Key::subToken), std::nullopt);
        EXPECT_EQ(calls(), c.calls);
    }
}

// --- refresh and pull ---

TEST_F(SubscriptionStoreTest, RefreshPublishesEachOutcomeAndKeepsTheLastGoodConfiguration) {
    Keychain::write(token, Key::subToken);
    shared.set(K::cachedSingboxConfig, Data{"last good"});
    shared.set(K::cachedStatusJSON, Data{R"({"state":"paid_autopay"})"});
    const struct {
        const char* name;
        Reply reply;
        std::optional<SubscriptionState> state;
        std::optional<std::string> lastError;
        std::string config;
    } cases[] = {
        {"busy everywhere", Reply::withStatus(503), SubscriptionState::paidAutopay,
         "Сервис временно недоступен, попробуйте позже", "last good"},
        {"expired", Reply::withStatus(402), SubscriptionState::expired, std::nullopt, "last good"},
        {"unauthorized", Reply::withStatus(401), SubscriptionState::paidAutopay, "Ключ доступа недействителен",
         "last good"},
        {"suspended", Reply::withStatus(403), SubscriptionState::paidAutopay, "Подписка приостановлена", "last good"},
        {"served", Reply::subscription(served()), SubscriptionState::paidAutopay, std::nullopt, servedConfig},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (auto* plane : {&a, &b}) plane->scriptAlways(c.reply, "/sub/.*");
        auto& s = make();
        s.lastError = "an earlier error";
        EXPECT_FALSE(run([&](StoreCalls::Call& call) { s.refresh(call); }));
        EXPECT_EQ(s.state.get(), c.state);
        EXPECT_EQ(s.lastError.get(), c.lastError);
        EXPECT_EQ(storeData(K::cachedSingboxConfig), c.config);
        EXPECT_TRUE(s.hasSubscription);
        EXPECT_EQ(shared.string(K::subTokenForNE), token);  // mirrored before the pull
        for (auto* plane : {&a, &b}) plane->clearScript();
    }
}

TEST_F(SubscriptionStoreTest, RefreshWithoutATokenSendsNothingAndKeepsTheError) {
    auto& s = make();
    s.lastError = "an earlier error";
    EXPECT_FALSE(run([&](StoreCalls::Call& call) { s.refresh(call); }));
    EXPECT_EQ(s.lastError.get(), "an earlier error");
    EXPECT_TRUE(calls().empty());
    EXPECT_EQ(shared.string(K::subTokenForNE), std::nullopt);
}

TEST_F(SubscriptionStoreTest, APulledLinkIsKeptAsGivenAndMirroredBare) {
    ojson odd = meta;
    odd["pull_interval_seconds"] = -5;  // kept as the server sent it
    a.setSubscription(token, served(odd));
    for (const std::string& link : {"kavri://import?token=" + token, "https://get.example/sub/" + token}) {
        SCOPED_TRACE(link);
        auto& s = make();
        s.lastError = "an earlier error";
        EXPECT_FALSE(run([&](StoreCalls::Call& call) { s.pull(call, link); }));
        EXPECT_EQ(Keychain::read(Key::subToken), link);
        EXPECT_EQ(shared.string(K::subTokenForNE), token);
        EXPECT_EQ(shared.string(K::deviceIDForNE), DeviceID::current(shared));
        EXPECT_TRUE(s.hasSubscription);
        EXPECT_EQ(s.lastError.get(), std::nullopt);
        EXPECT_EQ(storeData(K::cachedSingboxConfig), servedConfig);
        EXPECT_EQ(shared.integer(K::nePollIntervalSec), -5);
        EXPECT_EQ(SubscriptionMeta::decode(storeData(K::cachedSubscriptionMeta).value()), s.lastMeta.get());
        EXPECT_EQ(s.lastMeta.get()->pullIntervalSeconds, -5);
        EXPECT_EQ(s.lastPullDate.get(), clock.wallNow());
        EXPECT_EQ(shared.object(K::lastSubscriptionPull), PlistValue(clock.wallNow()));
        Keychain::deleteItem(Key::subToken);
    }
}

TEST_F(SubscriptionStoreTest, APullWithoutCountersClearsTheEarlierOnes) {
    a.script(Reply::subscription(served(), {{"Subscription-Userinfo", "upload=1; download=2; total=30"}}), "/sub/.*");
    auto& s = make();
    EXPECT_FALSE(run([&](StoreCalls::Call& call) { s.pull(call, token); }));
    EXPECT_EQ(s.lastUserinfo.get(), (SubscriptionUserinfo{1, 2, 30, std::nullopt}));
    EXPECT_FALSE(run([&](StoreCalls::Call& call) { s.pull(call, token); }));
    EXPECT_EQ(s.lastUserinfo.get(), std::nullopt);
}

TEST_F(SubscriptionStoreTest, AFailedPullThrowsAndChangesNothing) {
    Keychain::write(token, Key::subToken);
    shared.set(K::cachedSingboxConfig, Data{"last good"});
    const struct {
        const char* name;
        std::string pasted;
        std::function<void()> script;
        SubscriptionClient::FetchError::Kind kind;
        std::size_t requests;
    } cases[] = {
        {"expired", newer, [&] { a.script(Reply::withStatus(402), "/sub/.*"); },
         SubscriptionClient::FetchError::Kind::expired, 1},
        {"no token in the text", "kavri://link?code=123456", [] {}, SubscriptionClient::FetchError::Kind::invalidURL,
         0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        a.clearRequests();
        c.script();
        auto& s = make();
        s.state = SubscriptionState::trial;
        std::optional<SubscriptionClient::FetchError::Kind> kind;
        try {
            std::rethrow_exception(run([&](StoreCalls::Call& call) { s.pull(call, c.pasted); }));
        } catch (const SubscriptionClient::FetchError& e) {
            kind = e.kind();
        }
        EXPECT_EQ(kind, c.kind);
        EXPECT_EQ(a.requestCount(), c.requests);
        EXPECT_EQ(s.state.get(), SubscriptionState::trial);
        EXPECT_EQ(s.lastError.get(), std::nullopt);
        EXPECT_EQ(Keychain::read(Key::subToken), token);
        EXPECT_EQ(storeData(K::cachedSingboxConfig), "last good");
        EXPECT_EQ(shared.string(K::subTokenForNE), std::nullopt);
    }
}

TEST_F(SubscriptionStoreTest, AKeychainThatRefusesTheTokenDropsTheDownload) {
    shared.set(K::cachedSingboxConfig, Data{"last good"});
    DeviceID::current(shared);  // made while the keychain still works
    auto& s = make();
    // A keychain folder that cannot be made: every write fails.
    std::ofstream(dir / "not-a-folder") << "x";
    const std::string keychainDir = getenv("KAVRI_KEYCHAIN_DIR");
    setenv("KAVRI_KEYCHAIN_DIR", (dir / "not-a-folder" / "keychain").c_str(), 1);
    const auto error = run([&](StoreCalls::Call& call) { s.pull(call, token); });
    setenv("KAVRI_KEYCHAIN_DIR", keychainDir.c_str(), 1);

    EXPECT_THROW(std::rethrow_exception(error), KeychainError);
    EXPECT_EQ(a.requestCount(), 1u);
    EXPECT_FALSE(s.hasSubscription);
    EXPECT_EQ(s.lastPullDate.get(), std::nullopt);
    EXPECT_EQ(storeData(K::cachedSingboxConfig), "last good");
    EXPECT_EQ(shared.string(K::subTokenForNE), std::nullopt);
}

TEST_F(SubscriptionStoreTest, StartedOperationsReportOnTheMainThread) {
    auto& s = make();
    std::optional<std::exception_ptr> pulled;
    s.pull(token, [&](std::exception_ptr error) {
        EXPECT_TRUE(main.isMainThread());
        pulled = error;
    });
    ASSERT_TRUE(main.runUntil([&] { return pulled.has_value(); }, 120s));
    EXPECT_FALSE(*pulled);
    EXPECT_TRUE(s.hasSubscription);

    bool refreshed = false;
    s.refresh([&] { refreshed = true; });
    ASSERT_TRUE(main.runUntil([&] { return refreshed; }, 120s));
    EXPECT_EQ(calls(), (std::vector<std::string>{"GET /sub/" + token, "GET /sub/" + token}));
}

TEST_F(SubscriptionStoreTest, GoingAwayWhileAPullHangsChangesNothing) {
    Keychain::write(token, Key::subToken);
    shared.set(K::cachedSingboxConfig, Data{"last good"});
    a.scriptAlways(Reply::hang());
    auto& s = make();
    bool ended = false;
    s.refresh([&] { ended = true; });
    ASSERT_TRUE(main.runUntil([&] { return a.requestCount() == 1; }, 120s));
    store.reset();  // cancels the pull and waits for it
    main.runUntilIdle();
    EXPECT_FALSE(ended);
    EXPECT_EQ(b.requestCount(), 0u);
    EXPECT_EQ(storeData(K::cachedSingboxConfig), "last good");
}

// --- restore ---

TEST_F(SubscriptionStoreTest, RestoreTakesTheLastKnownStateWithoutAnyRequest) {
    const Date pulledAt = clock.wallNow() - 1h;
    const json status = {{"state", "paid_autopay"}, {"app_id", 81}, {"price_month", 390}, {"plans", {plan}},
                         {"referral", {{"goal", 3}}}, {"stack", stack}, {"role", "owner"},
                         {"expires_at", "2025-04-01T00:00:00Z"}, {"autopay_enabled", true}, {"recurring", true}};
    const struct {
        const char* name;
        std::optional<std::string> keychain;
        PlistValue::Dict seeded;
        std::function<void(const SubscriptionStore&)> check;
    } cases[] = {
        {"nothing stored", std::nullopt, {},
         [](const SubscriptionStore& s) {
             EXPECT_FALSE(s.hasSubscription);
             EXPECT_EQ(s.lastMeta.get(), std::nullopt);
             EXPECT_EQ(s.lastPullDate.get(), std::nullopt);
             EXPECT_EQ(s.subscriptionID.get(), std::nullopt);
             EXPECT_EQ(s.state.get(), std::nullopt);
             EXPECT_TRUE(s.plans->empty());
             EXPECT_FALSE(s.autopayEnabled);
         }},
        {"a subscriber",
         token,
         {{K::lastSubscriptionPull, pulledAt},
          {K::subscriptionID, 12},
          {K::cachedSubscriptionMeta, Data{meta.dump()}},
          {K::cachedStatusJSON, Data{status.dump()}}},
         [&](const SubscriptionStore& s) {
             EXPECT_TRUE(s.hasSubscription);
             EXPECT_EQ(s.lastPullDate.get(), pulledAt);
             EXPECT_EQ(s.lastMeta.get()->version, 7);
             EXPECT_EQ(s.subscriptionID.get(), 81);  // the status's id wins over the stored one
             EXPECT_EQ(s.state.get(), SubscriptionState::paidAutopay);
             EXPECT_EQ(s.priceMonth.get(), 390);
             EXPECT_EQ(s.currency.get(), std::nullopt);
             EXPECT_EQ(s.plans->size(), 1u);
             EXPECT_EQ(s.referral.get()->goal, 3);
             EXPECT_EQ(s.stack.get()->location.id, "de-1");
             EXPECT_EQ(s.role.get(), "owner");
             EXPECT_EQ(s.expiresAt.get(), Date(std::chrono::sys_days(std::chrono::year(2025) / 4 / 1)));
             EXPECT_TRUE(s.autopayEnabled);
             EXPECT_TRUE(s.recurringAvailable);
             EXPECT_EQ(s.lastUserinfo.get(), std::nullopt);
             EXPECT_EQ(s.lastError.get(), std::nullopt);
         }},
        {"values of other types and unreadable JSON",
         token,
         {{K::lastSubscriptionPull, "2025-03-01"},
          {K::subscriptionID, -3},
          {K::cachedSubscriptionMeta, meta.dump()},
          {K::cachedStatusJSON, Data{"{not json"}}},
         [](const SubscriptionStore& s) {
             EXPECT_TRUE(s.hasSubscription);
             EXPECT_EQ(s.lastPullDate.get(), std::nullopt);
             EXPECT_EQ(s.subscriptionID.get(), std::nullopt);
             EXPECT_EQ(s.lastMeta.get(), std::nullopt);
             EXPECT_EQ(s.state.get(), std::nullopt);
         }},
        {"metadata that does not decode, an id of 0, a status without a state",
         std::nullopt,
         {{K::subscriptionID, 0},
          {K::cachedSubscriptionMeta, Data{R"({"version":"7"})"}},
          {K::cachedStatusJSON, Data{R"({"role":"member"})"}}},
         [](const SubscriptionStore& s) {
             EXPECT_EQ(s.subscriptionID.get(), std::nullopt);
             EXPECT_EQ(s.lastMeta.get(), std::nullopt);
             EXPECT_EQ(s.state.get(), std::nullopt);
             EXPECT_TRUE(s.isMember());
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (const auto& [key, value] : shared.snapshot()) shared.removeObject(key);
        Keychain::deleteItem(Key::subToken);
        if (c.keychain) Keychain::write(*c.keychain, Key::subToken);
        for (const auto& [key, value] : c.seeded) shared.set(key, value);
        const auto before = shared.snapshot();

        c.check(make());

        EXPECT_EQ(a.requestCount() + b.requestCount(), 0u);
        // Kept keys stay, whatever they hold; only the status's facts are written.
        for (const auto& [key, value] : before)
            if (key != K::subscriptionID) {
                EXPECT_EQ(shared.object(key), value) << key;
            }
    }
    EXPECT_EQ(shared.string(K::currency), std::nullopt);  // the last case had no price
}

TEST_F(SubscriptionStoreTest, ARestoredPriceIsKeptForTheExtensionWithItsCurrencyOrRubles) {
    shared.set(K::cachedStatusJSON, Data{R"({"price_month":390,"app_id":81})"});
    make();
    EXPECT_EQ(shared.integer(K::priceMonth), 390);
    EXPECT_EQ(shared.string(K::currency), "RUB");
    EXPECT_EQ(shared.integer(K::subscriptionID), 81);
}

// --- the token a status rotates to ---

TEST_F(SubscriptionStoreTest, ANewerTokenSurvivesARestartOverAnOlderRotatedOne) {
    // A status rotated the token to `token` once; the user then adopted
    // `newer` (a link, a join, a provisioning anew). The kept status body
    // still names the old rotation.
    shared.set(K::cachedStatusJSON, Data{json{{"rotate_token", token}, {"state", "trial"}}.dump()});
    Keychain::write(newer, Key::subToken);

    auto& s = make();
    EXPECT_EQ(Keychain::read(Key::subToken), newer);
    EXPECT_EQ(s.state.get(), SubscriptionState::trial);

    // The token the next refresh sends is still the newer one.
    EXPECT_FALSE(run([&](StoreCalls::Call& call) { s.refresh(call); }));
    EXPECT_EQ(calls(), (std::vector<std::string>{"GET /sub/" + newer}));
    EXPECT_EQ(shared.string(K::subTokenForNE), newer);
}

TEST_F(SubscriptionStoreTest, ALiveStatusRotatesTheTokenAndTheNextRefreshMirrorsIt) {
    Keychain::write(token, Key::subToken);
    a.setStatus(token, json{{"rotate_token", newer}}.dump());
    auto& s = make();
    EXPECT_FALSE(run([&](StoreCalls::Call& call) {
        s.refreshStatus(call);
        s.refresh(call);
    }));
    EXPECT_EQ(Keychain::read(Key::subToken), newer);
    EXPECT_EQ(calls(), (std::vector<std::string>{"GET /status/" + token, "GET /sub/" + newer}));
    EXPECT_EQ(shared.string(K::subTokenForNE), newer);
}

// --- the status merged into the fields ---

TEST_F(SubscriptionStoreTest, ALiveStatusKeepsWhatItLacksButClearsRecurring) {
    Keychain::write(token, Key::subToken);
    shared.set(K::cachedStatusJSON, Data{json{{"state", "trial"}, {"plans", {plan}}, {"autopay_enabled", true},
                                              {"recurring", true}, {"currency", "EUR"}, {"app_id", 81}}
                                             .dump()});
    const std::string live = R"({"plans":[],"price_month":5,"app_id":0,"state":"granted"})";
    a.setStatus(token, live);
    auto& s = make();
    EXPECT_FALSE(run([&](StoreCalls::Call& call) { s.refreshStatus(call); }));
    EXPECT_EQ(s.state.get(), SubscriptionState::granted);
    EXPECT_EQ(s.plans->size(), 1u);
    EXPECT_TRUE(s.autopayEnabled);
    EXPECT_FALSE(s.recurringAvailable);
    EXPECT_EQ(s.subscriptionID.get(), 81);
    EXPECT_EQ(s.currency.get(), "EUR");
    EXPECT_EQ(shared.string(K::currency), "RUB");
    EXPECT_EQ(storeData(K::cachedStatusJSON), live);

    // A status that fails changes nothing, not even the state.
    a.script(Reply::withStatus(402), "/status/.*");
    EXPECT_FALSE(run([&](StoreCalls::Call& call) { s.refreshStatus(call); }));
    EXPECT_EQ(s.state.get(), SubscriptionState::granted);
    EXPECT_EQ(storeData(K::cachedStatusJSON), live);
}

TEST_F(SubscriptionStoreTest, TheMirrorWritesBothValuesEveryTime) {
    auto& s = make();
    shared.set(K::subTokenForNE, "stale");
    s.mirrorForExtension("  kavri://import?token=" + token + "\n");
    EXPECT_EQ(shared.string(K::subTokenForNE), token);
    EXPECT_EQ(shared.string(K::deviceIDForNE), DeviceID::current(shared));
}

}  // namespace
}  // namespace kavri
