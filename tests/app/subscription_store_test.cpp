#include "app/subscription_store.h"

#include <gtest/gtest.h>

#include <stdlib.h>

#include <ctime>
#include <fstream>
#include <functional>

#include "api/device_id.h"
#include "app/runtime/manual_executor.h"
#include "core/deployment.h"
#include "core/kavri_defaults_key.h"
#include "core/keychain.h"
#include "platform/notifications/recording_notification_center.h"
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
        NotificationCenter::install(notices);
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
        NotificationCenter::install(nullptr);
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
    // Reads `body` as the live status of `token`.
    void live(SubscriptionStore& s, const json& body) {
        a.setStatus(token, body.dump());
        EXPECT_FALSE(run([&](StoreCalls::Call& call) { s.refreshStatus(call); }));
    }

    const Deployment saved = Deployment::current();
    ManualExecutor main;
    FakeClock clock{Clock::WallTime(std::chrono::sys_days(std::chrono::year(2025) / 3 / 1))};
    TestControlPlane a, b;
    test::TempDir dir;
    KavriStore shared{dir.path()};
    std::shared_ptr<RecordingNotificationCenter> notices = std::make_shared<RecordingNotificationCenter>();
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

TEST_F(SubscriptionStoreTest, ACancelledProvisioningOrPaymentLowersItsFlag) {
    a.scriptAlways(Reply::hang());
    auto& s = make();
    auto provisioning = s.provision();
    ASSERT_TRUE(main.runUntil([&] { return a.requestCount() == 1; }, 120s));
    EXPECT_TRUE(s.isProvisioning);
    provisioning.cancel();
    EXPECT_TRUE(main.runUntil([&] { return !s.isProvisioning; }, 120s));

    Keychain::write(token, Key::subToken);
    auto buying = s.buy("m1", false);
    ASSERT_TRUE(main.runUntil([&] { return a.requestCount() == 2; }, 120s));
    EXPECT_TRUE(s.isWorking);
    buying.cancel();
    EXPECT_TRUE(main.runUntil([&] { return !s.isWorking; }, 120s));
    EXPECT_EQ(b.requestCount(), 0u);
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

TEST_F(SubscriptionStoreTest, ALiveStatusMergesOverTheCachedOne) {
    const json cached = {{"app_id", 81},          {"state", "trial"},        {"role", "owner"},
                         {"devices", {{"used", 1}, {"limit", 3}}},          {"price_month", 390},
                         {"currency", "EUR"},     {"expires_at", "2025-04-01T00:00:00Z"},
                         {"days_left", 31},       {"autopay_enabled", true}, {"next_charge_at", "2025-04-01T00:00:00Z"},
                         {"telegram_linked", true}, {"referral", {{"goal", 3}}}, {"plans", {plan}},
                         {"stack", stack},        {"recurring", true}};
    const Date april(std::chrono::sys_days(std::chrono::year(2025) / 4 / 1));
    const Date may(std::chrono::sys_days(std::chrono::year(2025) / 5 / 1));
    json plan2 = plan;
    plan2["key"] = "y1";
    json stack2 = stack;
    stack2["location"]["id"] = "nl-1";
    const struct {
        const char* member;
        json value;  // the live status's member; null: absent
        std::function<void(const SubscriptionStore&)> check;
    } cases[] = {
        // Absent: the cached value stays (recurring alone is cleared).
        {"app_id", nullptr, [](auto& s) { EXPECT_EQ(s.subscriptionID.get(), 81); }},
        {"app_id", 0, [](auto& s) { EXPECT_EQ(s.subscriptionID.get(), 81); }},
        {"app_id", 90, [](auto& s) { EXPECT_EQ(s.subscriptionID.get(), 90); }},
        {"state", nullptr, [](auto& s) { EXPECT_EQ(s.state.get(), SubscriptionState::trial); }},
        {"state", "granted", [](auto& s) { EXPECT_EQ(s.state.get(), SubscriptionState::granted); }},
        {"role", nullptr, [](auto& s) { EXPECT_EQ(s.role.get(), "owner"); }},
        {"role", "member", [](auto& s) { EXPECT_TRUE(s.isMember()); }},
        {"devices", nullptr, [](auto& s) { EXPECT_EQ(s.deviceQuota.get(), (KavriAPI::DevicesQuota{1, 3})); }},
        {"devices", {{"used", 2}}, [](auto& s) { EXPECT_EQ(s.deviceQuota.get(), (KavriAPI::DevicesQuota{1, 3})); }},
        {"devices", {{"used", 2}, {"limit", 5}},
         [](auto& s) { EXPECT_EQ(s.deviceQuota.get(), (KavriAPI::DevicesQuota{2, 5})); }},
        {"price_month", nullptr, [](auto& s) { EXPECT_EQ(s.priceMonth.get(), 390); }},
        {"price_month", 199, [](auto& s) { EXPECT_EQ(s.priceMonth.get(), 199); }},
        {"currency", nullptr, [](auto& s) { EXPECT_EQ(s.currency.get(), "EUR"); }},
        {"currency", "USD", [](auto& s) { EXPECT_EQ(s.currency.get(), "USD"); }},
        {"expires_at", nullptr, [&](auto& s) { EXPECT_EQ(s.expiresAt.get(), april); }},
        {"expires_at", "2025-05-01T00:00:00.000Z", [&](auto& s) { EXPECT_EQ(s.expiresAt.get(), may); }},
        {"days_left", nullptr, [](auto& s) { EXPECT_EQ(s.daysLeft.get(), 31); }},
        {"days_left", 2, [](auto& s) { EXPECT_EQ(s.daysLeft.get(), 2); }},
        {"autopay_enabled", nullptr, [](auto& s) { EXPECT_TRUE(s.autopayEnabled); }},
        {"autopay_enabled", false, [](auto& s) { EXPECT_FALSE(s.autopayEnabled); }},
        {"next_charge_at", nullptr, [&](auto& s) { EXPECT_EQ(s.nextChargeAt.get(), april); }},
        {"next_charge_at", "2025-05-01T00:00:00Z", [&](auto& s) { EXPECT_EQ(s.nextChargeAt.get(), may); }},
        {"telegram_linked", nullptr, [](auto& s) { EXPECT_TRUE(s.telegramLinked); }},
        {"telegram_linked", false, [](auto& s) { EXPECT_FALSE(s.telegramLinked); }},
        {"referral", nullptr, [](auto& s) { EXPECT_EQ(s.referral.get()->goal, 3); }},
        {"referral", json::object(), [](auto& s) { EXPECT_EQ(s.referral.get()->goal, 0); }},
        {"plans", nullptr, [](auto& s) { EXPECT_EQ(s.plans->at(0).key, "m1"); }},
        {"plans", json::array(), [](auto& s) { EXPECT_EQ(s.plans->at(0).key, "m1"); }},
        {"plans", {{{"key", "y1"}}}, [](auto& s) { EXPECT_EQ(s.plans->at(0).key, "m1"); }},  // one bad plan
        {"plans", json::array({plan2}), [](auto& s) { EXPECT_EQ(s.plans->at(0).key, "y1"); }},
        {"stack", nullptr, [](auto& s) { EXPECT_EQ(s.stack.get()->location.id, "de-1"); }},
        {"stack", stack2, [](auto& s) { EXPECT_EQ(s.stack.get()->location.id, "nl-1"); }},
        {"recurring", nullptr, [](auto& s) { EXPECT_FALSE(s.recurringAvailable); }},
        {"recurring", true, [](auto& s) { EXPECT_TRUE(s.recurringAvailable); }},
    };
    Keychain::write(token, Key::subToken);
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.member) + " = " + c.value.dump());
        shared.set(K::cachedStatusJSON, Data{cached.dump()});
        auto& s = make();
        json body = json::object();
        if (!c.value.is_null()) body[c.member] = c.value;
        live(s, body);
        c.check(s);
        EXPECT_EQ(storeData(K::cachedStatusJSON), body.dump());
        EXPECT_EQ(shared.integer(K::subscriptionID), s.subscriptionID.get());
    }
}

// --- payment ---

TEST_F(SubscriptionStoreTest, BuyingReturnsThePaymentPage) {
    Keychain::write("kavri://import?token=" + token, Key::subToken);
    a.setPaymentPlans(token, {"m1"});
    auto& s = make();
    s.lastError = "earlier";
    std::vector<bool> working;
    auto sub = s.subscribe([&](std::string_view field) {
        if (field == "isWorking") working.push_back(s.isWorking);
    });
    std::optional<std::string> url;
    EXPECT_FALSE(run([&](StoreCalls::Call& call) { url = s.buy(call, "m1", true); }));
    EXPECT_EQ(url, "https://pay.test/1");
    EXPECT_EQ(working, (std::vector<bool>{true, false}));
    EXPECT_EQ(s.lastError.get(), "earlier");
    EXPECT_EQ(json::parse(a.requests().at(0).body)["sub_token"], token);  // the bare token
}

TEST_F(SubscriptionStoreTest, ARefusedPlanReadsTheStatusBeforeSayingThePlansChanged) {
    Keychain::write(token, Key::subToken);
    a.setPaymentPlans(token, {"y1"});
    json plan2 = plan;
    plan2["key"] = "y1";
    a.setStatus(token, json{{"plans", {plan2}}}.dump());
    auto& s = make();
    std::vector<std::string> plansWhenTold;
    auto sub = s.subscribe([&](std::string_view field) {
        if (field == "lastError" && s.lastError.get()) plansWhenTold.push_back(s.plans->at(0).key);
    });
    std::optional<std::string> url = "unset";
    EXPECT_FALSE(run([&](StoreCalls::Call& call) { url = s.buy(call, "m1", false); }));
    EXPECT_EQ(url, std::nullopt);
    EXPECT_EQ(calls(), (std::vector<std::string>{"POST /pay/create", "GET /status/" + token}));
    EXPECT_EQ(s.lastError.get(), "Тарифы обновились — выберите заново.");
    EXPECT_EQ(plansWhenTold, (std::vector<std::string>{"y1"}));
    EXPECT_FALSE(s.isWorking);
}

TEST_F(SubscriptionStoreTest, AnyOtherPaymentFailureOpensNoPage) {
    const struct {
        const char* name;
        Reply reply;
        const char* lastError;
    } cases[] = {
        {"409", Reply::withStatus(409), "Не удалось создать платёж. Попробуйте ещё раз."},
        {"dropped", Reply::close(), "Не удалось создать платёж. Попробуйте ещё раз."},
        {"200 without a link", Reply::json("{}"), "Не удалось создать платёж. Попробуйте ещё раз."},
        {"a link that is no address", Reply::json(R"({"payment_url":"not a link"})"), nullptr},
    };
    Keychain::write(token, Key::subToken);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        a.clearRequests();
        b.clearRequests();
        a.script(c.reply, "/pay/create");
        auto& s = make();
        std::optional<std::string> url = "unset";
        EXPECT_FALSE(run([&](StoreCalls::Call& call) { url = s.buy(call, "m1", false); }));
        EXPECT_EQ(url, std::nullopt);
        EXPECT_EQ(s.lastError.get(), c.lastError ? std::optional<std::string>(c.lastError) : std::nullopt);
        EXPECT_FALSE(s.isWorking);
        EXPECT_EQ(calls(), (std::vector<std::string>{"POST /pay/create"}));  // one host, no status
    }
}

TEST_F(SubscriptionStoreTest, BuyingWithoutATokenDoesNothing) {
    auto& s = make();
    int notified = 0;
    auto sub = s.subscribe([&](std::string_view) { ++notified; });
    std::optional<std::string> url = "unset";
    bool ended = false;
    s.buy("m1", false, [&](std::optional<std::string> u) {
        url = std::move(u);
        ended = true;
    });
    EXPECT_TRUE(main.runUntil([&] { return ended; }, 60s));
    EXPECT_EQ(url, std::nullopt);
    EXPECT_EQ(notified, 0);
    EXPECT_EQ(a.requestCount() + b.requestCount(), 0u);
}

// --- account notices ---

class SubscriptionNoticesTest : public SubscriptionStoreTest {
protected:
    void SetUp() override {
        SubscriptionStoreTest::SetUp();
        Keychain::write(token, Key::subToken);
    }
    static Date day(int month, int d) {
        return Date(std::chrono::sys_days(std::chrono::year(2025) / month / d));
    }
    static std::string iso(Date date) {
        const std::time_t t = std::chrono::system_clock::to_time_t(date);
        std::tm utc{};
        gmtime_r(&t, &utc);
        char text[32];
        std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
        return text;
    }
    std::vector<std::string> fired() const {
        std::vector<std::string> out;
        for (const auto& r : notices->added())
            if (!r.trigger) out.push_back(r.identifier + ": " + r.content.body);
        return out;
    }
    std::vector<NotificationRequest> scheduled() const {
        std::vector<NotificationRequest> out;
        for (const auto& r : notices->added())
            if (r.trigger) out.push_back(r);
        return out;
    }
};

const std::vector<std::string> reminders = {"trial_3d", "trial_1d", "sub_1d", "trial_ended"};

TEST_F(SubscriptionNoticesTest, RemindersAreScheduledWithTheirDatesAndPrices) {
    // The clock stands at 1 March 2025.
    json month = plan;
    month["key"] = "month";
    month["price"] = 299;
    const struct {
        const char* name;
        json status;
        std::optional<NotificationRequest> expected;
    } cases[] = {
        {"cancelled: the day before the end",
         {{"state", "paid_cancelled"}, {"expires_at", iso(day(3, 10) + 12h)}, {"price_month", 1990}},
         NotificationRequest{"sub_1d",
                             {std::nullopt,
                              "Завтра подписка закончится и VPN отключится. Продлите за 1\u00A0990\u00A0₽ — для "
                              "стабильной работы.",
                              true,
                              {},
                              ""},
                             CalendarDateTrigger::matching(day(3, 9) + 12h)}},
        {"trial: at its end, with the month plan's price",
         {{"state", "trial"}, {"expires_at", iso(day(3, 4))}, {"price_month", 199}, {"currency", "RUB"},
          {"plans", {plan, month}}},
         NotificationRequest{"trial_ended",
                             {"Пробный период закончился", "VPN отключён. Продлить можно — за 299\u00A0₽ в приложении.",
                              true,
                              {},
                              ""},
                             CalendarDateTrigger::matching(day(3, 4))}},
        {"trial without a month plan: the monthly price",
         {{"state", "trial"}, {"expires_at", iso(day(3, 4))}, {"price_month", 199}, {"plans", {plan}}},
         NotificationRequest{"trial_ended",
                             {"Пробный период закончился", "VPN отключён. Продлить можно — за 199\u00A0₽ в приложении.",
                              true,
                              {},
                              ""},
                             CalendarDateTrigger::matching(day(3, 4))}},
        {"cancelled, the day before already past",
         {{"state", "paid_cancelled"}, {"expires_at", iso(day(3, 1) + 23h)}, {"price_month", 390}}, std::nullopt},
        {"trial without a price", {{"state", "trial"}, {"expires_at", iso(day(3, 4))}}, std::nullopt},
        {"trial without an expiry", {{"state", "trial"}, {"price_month", 390}}, std::nullopt},
        {"granted", {{"state", "granted"}, {"expires_at", iso(day(9, 1))}, {"price_month", 390}}, std::nullopt},
        {"expired", {{"state", "expired"}, {"expires_at", iso(day(9, 1))}, {"price_month", 390}}, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        notices->clear();
        auto& s = make();
        live(s, c.status);
        // Every status with a state first clears the pending reminders.
        EXPECT_EQ(notices->removals(), (std::vector<std::vector<std::string>>{reminders}));
        const auto added = scheduled();
        if (c.expected) {
            ASSERT_EQ(added.size(), 1u);
            EXPECT_EQ(added[0], *c.expected);
        } else {
            EXPECT_TRUE(added.empty());
        }
    }
}

TEST_F(SubscriptionNoticesTest, ImmediateNoticesFollowTheChangeOfState) {
    const std::string paidText = "paid: Оплачено ✅ Каври с вами до 1 апреля. Спасибо, что выбрали нас.";
    const struct {
        const char* name;
        std::optional<std::string> before;  // "last_known_state"
        std::optional<Date> expiryBefore;   // "last_known_expiry"
        json status;
        std::vector<std::string> fired;
    } cases[] = {
        {"expired to paid", "expired", std::nullopt, {{"state", "paid_autopay"}, {"expires_at", iso(day(4, 1) + 12h)}},
         {paidText}},
        {"trial to cancelled", "trial", std::nullopt, {{"state", "paid_cancelled"}, {"expires_at", iso(day(4, 1) + 12h)}},
         {paidText}},
        {"charge failed to paid, no expiry", "charge_failed", std::nullopt, {{"state", "paid_autopay"}}, {}},
        {"paid to cancelled", "paid_autopay", std::nullopt,
         {{"state", "paid_cancelled"}, {"expires_at", iso(day(4, 1) + 12h)}}, {}},
        {"first install, paid", std::nullopt, std::nullopt,
         {{"state", "paid_autopay"}, {"expires_at", iso(day(4, 1) + 12h)}}, {}},
        {"an unknown earlier state, paid", "frozen", std::nullopt,
         {{"state", "paid_autopay"}, {"expires_at", iso(day(4, 1) + 12h)}}, {}},
        {"first install, charge failed", std::nullopt, std::nullopt,
         {{"state", "charge_failed"}, {"price_month", 390}},
         {"autocharge_failed: Не смогли списать 390\u00A0₽ — проверьте карту. Завтра VPN отключится, если не продлить."}},
        {"charge failed again", "charge_failed", std::nullopt, {{"state", "charge_failed"}, {"price_month", 390}}, {}},
        {"charge failed without a price", "paid_autopay", std::nullopt, {{"state", "charge_failed"}}, {}},
        {"renewed", "paid_autopay", day(3, 5),
         {{"state", "paid_autopay"}, {"expires_at", iso(day(4, 1) + 12h)}, {"price_month", 390}},
         {"autocharge_ok: Продлили подписку — 390\u00A0₽. Каври с вами до 1 апреля."}},
        {"same expiry", "paid_autopay", day(4, 1) + 12h,
         {{"state", "paid_autopay"}, {"expires_at", iso(day(4, 1) + 12h)}, {"price_month", 390}}, {}},
        {"renewed without a known expiry", "paid_autopay", std::nullopt,
         {{"state", "paid_autopay"}, {"expires_at", iso(day(4, 1) + 12h)}, {"price_month", 390}}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        notices->clear();
        shared.set(K::lastKnownState, c.before ? std::optional<PlistValue>(*c.before) : std::nullopt);
        shared.set(K::lastKnownExpiry, c.expiryBefore ? std::optional<PlistValue>(*c.expiryBefore) : std::nullopt);
        auto& s = make();
        live(s, c.status);
        EXPECT_EQ(fired(), c.fired);
        EXPECT_EQ(shared.string(K::lastKnownState), c.status["state"].get<std::string>());
    }
}

TEST_F(SubscriptionNoticesTest, TheFactsAreRememberedSoARestartPostsNothingTwice) {
    shared.set(K::lastKnownState, "trial");
    shared.set(K::lastKnownBonusYears, 2);
    const json paid = {{"state", "paid_autopay"}, {"expires_at", iso(day(4, 1) + 12h)}, {"price_month", 390},
                       {"referral", {{"bonus_years", 1}}}};
    live(make(), paid);
    EXPECT_EQ(notices->count("paid"), 1u);
    EXPECT_EQ(shared.string(K::lastKnownState), "paid_autopay");
    EXPECT_EQ(shared.object(K::lastKnownExpiry), PlistValue(day(4, 1) + 12h));
    EXPECT_EQ(shared.integer(K::lastKnownBonusYears), 1);

    // The app starts again: the kept status posts nothing, nor does the same
    // live one.
    notices->clear();
    auto& again = make();
    EXPECT_TRUE(notices->added().empty());
    live(again, paid);
    EXPECT_TRUE(fired().empty());

    // A status without a state leaves the reminders and the facts alone;
    // one without expiry or referral keeps those facts.
    notices->clear();
    live(again, {{"price_month", 490}});
    EXPECT_TRUE(notices->removals().empty());
    live(again, {{"state", "granted"}});
    EXPECT_EQ(shared.string(K::lastKnownState), "granted");
    EXPECT_EQ(shared.object(K::lastKnownExpiry), PlistValue(day(4, 1) + 12h));
    EXPECT_EQ(shared.integer(K::lastKnownBonusYears), 1);
}

}  // namespace
}  // namespace kavri
