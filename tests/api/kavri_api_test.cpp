#include "api/kavri_api.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <thread>

#include "api/decoding_error.h"
#include "api/device_id.h"
#include "core/deployment.h"
#include "core/kavri_defaults_key.h"
#include "platform/runtime/fake_clock.h"
#include "testing/test_control_plane.h"
#include "tests/support/loopback_port.h"
#include "tests/support/temp_dir.h"

namespace kavri {
namespace {

using namespace std::chrono_literals;
using json = nlohmann::json;
using Reply = TestControlPlane::Reply;

const std::string token = "0123456789abcdef";
const char* provisioned = R"({"id":null,"sub_token":"fresh-token","is_trial":true,"plan":"trial","is_active":true})";

class KavriAPITest : public ::testing::Test {
protected:
    void TearDown() override { Deployment::install(saved); }

    void use(const std::vector<const TestControlPlane*>& planes) {
        Deployment::install(TestControlPlane::deploymentFor(planes));
    }
    KavriAPI api(Clock& clock = Clock::system()) { return KavriAPI(KavriHTTP::api(), store, clock); }

    const Deployment saved = Deployment::current();
    test::TempDir dir;
    KavriStore store{dir.path()};
};

// How a call ended: the backend's code and description, or the kind of
// other error; and how many hosts it asked.
struct Ending {
    std::optional<int> code;
    std::string text;
    bool decoding = false;
};

template <class F>
Ending endingOf(F&& call) {
    try {
        call();
    } catch (const KavriAPI::Error& e) {
        return {e.code(), e.localizedDescription(), false};
    } catch (const DecodingError&) {
        return {std::nullopt, {}, true};
    }
    return {};
}

TEST_F(KavriAPITest, ProvisionSendsTheDeviceAndItsAttributionUnchanged) {
    TestControlPlane plane;
    plane.script(Reply::json(provisioned));
    use({&plane});
    const json attribution = {{"platform", "macos"}, {"ref", 42}, {"ratio", 0.5}, {"lead", nullptr},
                              {"nested", {{"a", json::array({1, "b", true})}}}};

    const auto result = api().provision("DEVICE-1", attribution);

    EXPECT_EQ(result.subToken, "fresh-token");
    EXPECT_EQ(result.id, std::nullopt);
    EXPECT_EQ(result.payURL, std::nullopt);
    EXPECT_TRUE(result.isTrial);
    EXPECT_EQ(result.plan, "trial");
    ASSERT_EQ(plane.requestCount(), 1u);
    const auto request = plane.requests().front();
    EXPECT_EQ(request.call(), "POST /provision");
    EXPECT_EQ(request.header("Content-Type"), "application/json");
    EXPECT_EQ(json::parse(request.body), (json{{"device_id", "DEVICE-1"},
                                               {"platform", "macos"},
                                               {"attribution", attribution},
                                               {"attestation_token", ""}}));
    EXPECT_EQ(store.string(KavriDefaultsKey::cpLastGoodHost), plane.host());
}

TEST_F(KavriAPITest, AnAttributionThatCannotBeSentSendsNothing) {
    TestControlPlane plane;
    use({&plane});
    EXPECT_THROW(api().provision("DEVICE-1", {{"lead", std::string("\xff\xfe")}}), json::type_error);
    EXPECT_EQ(plane.requestCount(), 0u);
}

TEST_F(KavriAPITest, ProvisionMovesOnOrEndsByTheFirstHostsAnswer) {
    const struct {
        const char* name;
        Reply reply;
        bool nextHost;
        Ending ending;  // when the call ends at the first host
    } cases[] = {
        {"503", Reply::withStatus(503), true, {}},
        {"500", Reply::withStatus(500), true, {}},
        {"408", Reply::withStatus(408), true, {}},
        {"429", Reply::withStatus(429), true, {}},
        {"dropped", Reply::close(), true, {}},
        {"not HTTP", Reply::notHttp(), true, {}},
        {"409", Reply::withStatus(409), false, {409, "provision 409"}},
        {"401", Reply::withStatus(401), false, {401, "provision 401"}},
        {"404", Reply::withStatus(404), false, {404, "provision 404"}},
        {"200 without a token", Reply::json(R"({"is_trial":true,"plan":"trial","is_active":true})"), false,
         {std::nullopt, {}, true}},
        {"200 with a numeric token", Reply::json(R"({"sub_token":5,"is_trial":true,"plan":"t","is_active":true})"),
         false, {std::nullopt, {}, true}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TestControlPlane a, b;
        a.script(c.reply);
        b.script(Reply::json(provisioned));
        use({&a, &b});
        std::optional<KavriAPI::ProvisionResult> result;
        const Ending ending = endingOf([&] { result = api().provision("D", json::object()); });
        EXPECT_EQ(b.requestCount(), c.nextHost ? 1u : 0u);
        if (c.nextHost) {
            ASSERT_TRUE(result);
            EXPECT_EQ(result->subToken, "fresh-token");
        } else {
            EXPECT_EQ(ending.code, c.ending.code);
            EXPECT_EQ(ending.text, c.ending.text);
            EXPECT_EQ(ending.decoding, c.ending.decoding);
        }
    }
}

TEST_F(KavriAPITest, StatusAsksWithTheDeviceAndKeepsTheBodyAsReceived) {
    TestControlPlane plane;
    const std::string body = R"({"state":"trial",  "days_left":3,"x":[1,2]})";
    plane.setStatus("abc-def_1", body);
    use({&plane});

    const auto reply = api().status("abc-def_1");

    EXPECT_EQ(reply.raw, body);
    EXPECT_EQ(reply.result.state, SubscriptionState::trial);
    EXPECT_EQ(reply.result.daysLeft, 3);
    const auto request = plane.requests().front();
    EXPECT_EQ(request.call(), "GET /status/abc-def_1");
    EXPECT_EQ(request.target, "/status/abc-def_1");  // one path segment, unreserved characters as they are
    EXPECT_EQ(request.header("X-Device-Id"), DeviceID::current(store));
}

TEST_F(KavriAPITest, StatusMovesOnOrEndsByTheFirstHostsAnswer) {
    const struct {
        const char* name;
        Reply reply;
        bool nextHost;
        Ending ending;
    } cases[] = {
        {"404", Reply::withStatus(404), true, {}},
        {"409", Reply::withStatus(409), true, {}},
        {"500", Reply::withStatus(500), true, {}},
        {"dropped", Reply::close(), true, {}},
        {"not HTTP", Reply::notHttp(), true, {}},
        {"401", Reply::withStatus(401), false, {401, "HTTP 401"}},
        {"402", Reply::withStatus(402), false, {402, "HTTP 402"}},
        {"403", Reply::withStatus(403), false, {403, "HTTP 403"}},
        {"a JSON list", Reply::json("[{}]"), false, {std::nullopt, {}, true}},
        {"not JSON", Reply::json("busy"), false, {std::nullopt, {}, true}},
        // A body longer than any status is not read whole: the host failed.
        {"too long", Reply::json(R"({"role":")" + std::string(KavriAPI::maxReplyBytes, 'x') + R"("})"), true, {}},
        {"nested too deeply",
         Reply::json(R"({"role":)" + std::string(100'000, '[') + std::string(100'000, ']') + "}"), false,
         {std::nullopt, {}, true}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TestControlPlane a, b;
        a.script(c.reply);
        b.setStatus(token, R"({"role":"owner"})");
        use({&a, &b});
        std::optional<KavriAPI::StatusReply> reply;
        const Ending ending = endingOf([&] { reply = api().status(token); });
        EXPECT_EQ(b.requestCount(), c.nextHost ? 1u : 0u);
        if (c.nextHost) {
            ASSERT_TRUE(reply);
            EXPECT_EQ(reply->result.role, "owner");
        } else {
            EXPECT_EQ(ending.code, c.ending.code);
            EXPECT_EQ(ending.text, c.ending.text);
            EXPECT_EQ(ending.decoding, c.ending.decoding);
        }
    }
}

TEST_F(KavriAPITest, WhenEveryHostFailsTheLastHostsErrorEndsTheCall) {
    TestControlPlane a, b;
    a.scriptAlways(Reply::withStatus(404));
    b.scriptAlways(Reply::withStatus(404));
    use({&a, &b});
    const Ending status = endingOf([&] { api().status(token); });
    EXPECT_EQ(status.code, 404);
    EXPECT_EQ(status.text, "Операция не может быть завершена. (KavriAPI, ошибка 404.)");

    a.scriptAlways(Reply::withStatus(502));
    b.scriptAlways(Reply::withStatus(503));
    EXPECT_EQ(endingOf([&] { api().provision("D", json::object()); }).code, 503);
    EXPECT_EQ(a.requestCount() + b.requestCount(), 4u);  // each host once per call
}

TEST_F(KavriAPITest, HostsThatRefuseEndInTheLastTransportError) {
    test::LoopbackPort closedA(-1), closedB(-1);
    Deployment d = Deployment::current();
    d.hosts = {{"127.0.0.1:" + closedA.number(), {}}, {"127.0.0.1:" + closedB.number(), {}}};
    Deployment::install(d);
    for (const bool provisioning : {true, false}) {
        SCOPED_TRACE(provisioning ? "provision" : "status");
        try {
            if (provisioning) {
                api().provision("D", json::object());
            } else {
                api().status(token);
            }
            ADD_FAILURE() << "no error";
        } catch (const HttpError& e) {
            EXPECT_EQ(e.kind(), HttpError::Kind::Transport);
        }
    }
}

TEST_F(KavriAPITest, NoAttemptStartsOnceTheBudgetIsSpent) {
    // Each host takes half the budget of the call on the fake clock, then
    // fails with a status that moves on: the third host is never asked.
    for (const bool provisioning : {true, false}) {
        SCOPED_TRACE(provisioning ? "provision" : "status");
        FakeClock clock;
        const auto half = provisioning ? 30s : 7500ms;
        TestControlPlane a, b, c;
        for (auto* plane : {&a, &b, &c}) {
            plane->route(provisioning ? "POST" : "GET", provisioning ? "/provision" : "/status/.+",
                         [&clock, half](const TestControlPlane::Request&) {
                             clock.advance(half);
                             return Reply::withStatus(500);
                         });
        }
        use({&a, &b, &c});
        const Ending ending = endingOf([&] {
            if (provisioning) {
                api(clock).provision("D", json::object());
            } else {
                api(clock).status(token);
            }
        });
        EXPECT_EQ(ending.code, 500);
        EXPECT_EQ(a.requestCount(), 1u);
        EXPECT_EQ(b.requestCount(), 1u);
        EXPECT_EQ(c.requestCount(), 0u);
    }
}

TEST_F(KavriAPITest, AStopEndsTheWalkAtTheHostItIsWaitingFor) {
    TestControlPlane a, b;
    a.scriptAlways(Reply::hang());
    b.setStatus(token, "{}");
    use({&a, &b});
    std::stop_source stop;
    std::optional<HttpError::Kind> kind;
    std::thread caller([&] {
        try {
            api().status(token, stop.get_token());
        } catch (const HttpError& e) {
            kind = e.kind();
        }
    });
    ASSERT_TRUE(a.waitForRequests(1));
    stop.request_stop();
    caller.join();
    EXPECT_EQ(kind, HttpError::Kind::Cancelled);
    EXPECT_EQ(b.requestCount(), 0u);
}

// --- payment creation ---

TEST_F(KavriAPITest, APaymentGoesToTheFirstHostWithAFreshKeyAndThePlanOnlyWhenNamed) {
    TestControlPlane a, b;
    a.setPaymentPlans(token, {"m1"});
    use({&a, &b});

    const auto named = api().createPayment(token, "m1", true);
    const auto unnamed = api().createPayment(token, std::nullopt, false);
    const auto empty = api().createPayment(token, "", false);

    EXPECT_EQ(named.paymentURL, "https://pay.test/1");
    EXPECT_EQ(named.paymentID, "1");
    EXPECT_EQ(empty.paymentURL, "https://pay.test/3");
    EXPECT_EQ(b.requestCount(), 0u);
    const auto requests = a.requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].call(), "POST /pay/create");
    EXPECT_EQ(requests[0].header("Content-Type"), "application/json");
    EXPECT_EQ(json::parse(requests[0].body), (json{{"sub_token", token}, {"save_payment_method", true}, {"plan", "m1"}}));
    EXPECT_EQ(json::parse(requests[1].body), (json{{"sub_token", token}, {"save_payment_method", false}}));
    EXPECT_EQ(json::parse(requests[2].body), (json{{"sub_token", token}, {"save_payment_method", false}}));
    std::set<std::string> keys;
    for (const auto& r : requests) {
        const auto key = r.header("Idempotency-Key").value_or("");
        EXPECT_TRUE(std::regex_match(key, std::regex("[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}")))
            << key;
        keys.insert(key);
    }
    EXPECT_EQ(keys.size(), 3u);
    // A payment is not a walk: the host is not recorded as the last good one.
    EXPECT_EQ(store.string(KavriDefaultsKey::cpLastGoodHost), std::nullopt);
}

TEST_F(KavriAPITest, APaymentGoesToTheRecordedLastGoodHost) {
    TestControlPlane a, b;
    b.setPaymentPlans(token, {});
    use({&a, &b});
    store.set(KavriDefaultsKey::cpLastGoodHost, b.host());
    EXPECT_EQ(api().primaryBaseURL(), b.baseURL());
    EXPECT_EQ(api().createPayment(token, std::nullopt, false).paymentURL, "https://pay.test/1");
    EXPECT_EQ(a.requestCount(), 0u);
}

TEST_F(KavriAPITest, WithoutAnyUsableHostThePaymentAddressIsTheBuiltInOne) {
    Deployment d = Deployment::current();
    d.hosts = {{"bad host name", {}}};
    Deployment::install(d);
    EXPECT_EQ(api().primaryBaseURL(), d.apiBaseURL);
}

TEST_F(KavriAPITest, APaymentEndsAtItsOneHostWhateverItAnswers) {
    enum class Kind { result, unknownPlan, refused, decoding, transport };
    const struct {
        const char* name;
        std::optional<Reply> reply;  // none: the host is down
        Kind kind;
        int code = 0;
    } cases[] = {
        {"200 without an id", Reply::json(R"({"payment_url":"https://pay.test/x"})"), Kind::result},
        {"400 with any body", Reply::json(R"({"payment_url":"https://pay.test/x"})", 400), Kind::unknownPlan},
        {"409", Reply::withStatus(409), Kind::refused, 409},
        {"503", Reply::withStatus(503), Kind::refused, 503},
        {"200 without a link", Reply::json(R"({"payment_id":"7"})"), Kind::decoding},
        {"200 with a numeric link", Reply::json(R"({"payment_url":7})"), Kind::decoding},
        {"host down", std::nullopt, Kind::transport},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::LoopbackPort closed(-1);
        TestControlPlane a, b;
        if (c.reply) {
            a.script(*c.reply);
            use({&a, &b});
        } else {
            Deployment d = TestControlPlane::deploymentFor({&b});
            d.hosts.insert(d.hosts.begin(), {"127.0.0.1:" + closed.number(), {}});
            Deployment::install(d);
        }
        try {
            const auto result = api().createPayment(token, "m1", false);
            EXPECT_EQ(c.kind, Kind::result);
            EXPECT_EQ(result.paymentURL, "https://pay.test/x");
            EXPECT_EQ(result.paymentID, std::nullopt);
        } catch (const KavriAPI::ActionError& e) {
            EXPECT_EQ(c.kind, Kind::unknownPlan);
            EXPECT_EQ(e.kind(), KavriAPI::ActionError::Kind::unknownPlan);
        } catch (const KavriAPI::Error& e) {
            EXPECT_EQ(c.kind, Kind::refused);
            EXPECT_EQ(e.code(), c.code);
            EXPECT_EQ(e.localizedDescription(), "HTTP " + std::to_string(c.code));
        } catch (const DecodingError&) {
            EXPECT_EQ(c.kind, Kind::decoding);
        } catch (const HttpError& e) {
            EXPECT_EQ(c.kind, Kind::transport);
            EXPECT_EQ(e.kind(), HttpError::Kind::Transport);
        }
        EXPECT_EQ(b.requestCount(), 0u);
    }
}

// --- decoding of the status ---

TEST(StatusResultTest, EachMemberIsReadOnItsOwn) {
    using S = KavriAPI::StatusResult;
    const auto at = [](int y, int mo, int d, int h) {
        return std::chrono::sys_days(std::chrono::year(y) / mo / d) + std::chrono::hours(h);
    };
    const json goodPlan = {{"key", "m1"}, {"title", "Месяц"}, {"months", 1}, {"price", 390}, {"days", 30}};
    json noPrice = goodPlan;
    noPrice.erase("price");
    const json stack = {{"manual_allowed", true}, {"location", json::object()}, {"protocol", json::object()}};

    const struct {
        const char* name;
        json body;
        std::function<void(const S&)> check;
    } cases[] = {
        {"empty", json::object(),
         [](const S& s) {
             EXPECT_EQ(s.state, std::nullopt);
             EXPECT_EQ(s.appID, std::nullopt);
             EXPECT_TRUE(s.plans.empty());
             EXPECT_EQ(s.referral, std::nullopt);
             EXPECT_EQ(s.stack, std::nullopt);
         }},
        {"plans missing, the rest kept", {{"role", "owner"}, {"price_month", 390}},
         [](const S& s) {
             EXPECT_TRUE(s.plans.empty());
             EXPECT_EQ(s.role, "owner");
             EXPECT_EQ(s.priceMonth, 390);
         }},
        {"one plan without a price empties the list", {{"plans", {goodPlan, noPrice}}, {"currency", "RUB"}},
         [](const S& s) {
             EXPECT_TRUE(s.plans.empty());
             EXPECT_EQ(s.currency, "RUB");
         }},
        {"good plans in order", {{"plans", {goodPlan, {{"key", "y1"}, {"title", "Год"}, {"months", 12},
                                                        {"price", 3900}, {"days", 365}, {"pro", true}}}}},
         [](const S& s) {
             ASSERT_EQ(s.plans.size(), 2u);
             EXPECT_EQ(s.plans[0].key, "m1");
             EXPECT_EQ(s.plans[1].pro, true);
             EXPECT_EQ(s.plans[0].subtitle, std::nullopt);
         }},
        {"plans not a list", {{"plans", "m1"}}, [](const S& s) { EXPECT_TRUE(s.plans.empty()); }},
        {"unknown state text", {{"state", "frozen"}}, [](const S& s) { EXPECT_EQ(s.state, std::nullopt); }},
        {"state of another case", {{"state", "Trial"}}, [](const S& s) { EXPECT_EQ(s.state, std::nullopt); }},
        {"known state", {{"state", "paid_autopay"}},
         [](const S& s) { EXPECT_EQ(s.state, SubscriptionState::paidAutopay); }},
        {"dates with fractional seconds", {{"expires_at", "2025-01-31T10:00:00.123Z"}},
         [&](const S& s) { EXPECT_EQ(s.expiresAt, at(2025, 1, 31, 10) + std::chrono::milliseconds(123)); }},
        {"dates without fractional seconds",
         {{"expires_at", "2025-01-31T10:00:00Z"}, {"next_charge_at", "2025-01-31T13:00:00+03:00"}},
         [&](const S& s) {
             EXPECT_EQ(s.expiresAt, at(2025, 1, 31, 10));
             EXPECT_EQ(s.nextChargeAt, at(2025, 1, 31, 10));
         }},
        {"a bare date and a number are no dates", {{"expires_at", "2025-01-31"}, {"next_charge_at", 1738317600}},
         [](const S& s) {
             EXPECT_EQ(s.expiresAt, std::nullopt);
             EXPECT_EQ(s.nextChargeAt, std::nullopt);
         }},
        {"dates no date can hold are no dates",
         {{"expires_at", "9999-12-31T23:59:59Z"}, {"next_charge_at", "1500-01-01T00:00:00.000Z"}},
         [](const S& s) {
             EXPECT_EQ(s.expiresAt, std::nullopt);
             EXPECT_EQ(s.nextChargeAt, std::nullopt);
         }},
        {"numbers as text are no numbers",
         {{"price_month", "390"}, {"app_id", "12"}, {"days_left", "3"}, {"devices", {{"used", "1"}, {"limit", 3}}}},
         [](const S& s) {
             EXPECT_EQ(s.priceMonth, std::nullopt);
             EXPECT_EQ(s.appID, std::nullopt);
             EXPECT_EQ(s.daysLeft, std::nullopt);
             EXPECT_EQ(s.devices, std::nullopt);
         }},
        {"numbers", {{"app_id", 9007199254740993LL}, {"days_left", -1}, {"devices", {{"used", 1}, {"limit", 3}}}},
         [](const S& s) {
             EXPECT_EQ(s.appID, 9007199254740993LL);
             EXPECT_EQ(s.daysLeft, -1);
             EXPECT_EQ(s.devices, (KavriAPI::DevicesQuota{1, 3}));
         }},
        {"a quota with one count", {{"devices", {{"used", 1}}}},
         [](const S& s) { EXPECT_EQ(s.devices, std::nullopt); }},
        {"flags only as true or false",
         {{"autopay_enabled", "true"}, {"recurring", 1}, {"telegram_linked", false}, {"auto_charge_failed", true}},
         [](const S& s) {
             EXPECT_EQ(s.autopayEnabled, std::nullopt);
             EXPECT_EQ(s.recurring, std::nullopt);
             EXPECT_EQ(s.telegramLinked, false);
             EXPECT_EQ(s.autoChargeFailed, true);
         }},
        {"an empty referral", {{"referral", json::object()}},
         [](const S& s) { EXPECT_EQ(s.referral, (S::Referral{0, 0, 0, 0, std::nullopt, std::nullopt})); }},
        {"a referral with members of other types",
         {{"referral", {{"registered", 2}, {"paid", "1"}, {"goal", 5}, {"bonus_years", 1}, {"link", 7},
                        {"web_link", "https://r.example/x"}}}},
         [](const S& s) { EXPECT_EQ(s.referral, (S::Referral{2, 0, 5, 1, std::nullopt, "https://r.example/x"})); }},
        {"a referral that is text", {{"referral", "none"}}, [](const S& s) { EXPECT_EQ(s.referral, std::nullopt); }},
        {"a stack", {{"stack", stack}}, [](const S& s) { EXPECT_TRUE(s.stack && s.stack->manualAllowed); }},
        {"a stack that does not decode, the rest kept", {{"stack", {{"location", json::object()}}}, {"role", "member"}},
         [](const S& s) {
             EXPECT_EQ(s.stack, std::nullopt);
             EXPECT_EQ(s.role, "member");
         }},
        {"nulls", {{"role", nullptr}, {"rotate_token", nullptr}, {"plans", nullptr}},
         [](const S& s) {
             EXPECT_EQ(s.role, std::nullopt);
             EXPECT_EQ(s.rotateToken, std::nullopt);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        c.check(S::decode(c.body.dump()));
    }
}

TEST(StatusResultTest, OnlyABodyThatIsNoObjectFails) {
    for (const char* body : {"[]", "\"trial\"", "null", "", "{"}) {
        SCOPED_TRACE(body);
        EXPECT_THROW(KavriAPI::StatusResult::decode(body), DecodingError);
    }
}

}  // namespace
}  // namespace kavri
