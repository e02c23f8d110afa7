// The local backend's account model on a real plane, read back with the
// app's own decoders, as two devices would use it.
#include "testing/local_account.h"

#include <gtest/gtest.h>

#include <fstream>

#include "api/device_link_api.h"
#include "api/kavri_api.h"
#include "api/stack_api.h"
#include "api/subscription_meta.h"
#include "testing/payment_page.h"
#include "testing/test_pki.h"
#include "tests/support/temp_dir.h"

namespace kavri {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using nlohmann::ordered_json;

ordered_json sampleSubscription() {
    ordered_json sub = {
        {"outbounds",
         ordered_json::array({ordered_json{{"type", "selector"},
                                           {"tag", "proxy"},
                                           {"outbounds", {"member-a", "member-b", "member-c"}},
                                           {"default", "member-a"}},
                              ordered_json{{"type", "http"}, {"tag", "member-a"}, {"server", "127.0.0.1"}, {"server_port", 1001}},
                              ordered_json{{"type", "http"}, {"tag", "member-b"}, {"server", "127.0.0.1"}, {"server_port", 1002}},
                              ordered_json{{"type", "http"}, {"tag", "member-c"}, {"server", "127.0.0.1"}, {"server_port", 1003}}})},
        {"_kavri_meta", {{"version", 1}, {"pull_interval_seconds", 900}, {"tier_0_apps", {{"ios", json::array()}}}}}};
    return sub;
}

class LocalAccountTest : public ::testing::Test {
protected:
    LocalAccountTest() : account(plane, options()), pages(account) { account.setPaymentPages(pages.baseURL()); }

    LocalAccount::Options options() {
        LocalAccount::Options o;
        o.subscription = sampleSubscription();
        o.downloads = temp.path();
        o.now = [this] { return now; };
        return o;
    }

    struct Answer {
        int status = 0;
        std::string body;
        json value() const { return json::parse(body, nullptr, false); }
    };
    Answer call(const std::string& method, const std::string& path, const json& body = nullptr,
                const std::string& device = {}) {
        HttpSessionConfig config;
        config.caBundle = TestPki::shared().caFile();
        config.requestTimeout = 5000ms;
        HttpRequest request;
        request.method = method;
        request.url = (path.starts_with("http") ? "" : plane.baseURL()) + path;
        if (!body.is_null()) {
            request.body = body.dump();
            request.headers.emplace_back("Content-Type", "application/json");
        }
        if (!device.empty()) request.headers.emplace_back("X-Device-Id", device);
        const auto response = HttpSession(config).send(request);
        return {response.status, response.body};
    }

    // A device registers: its token.
    std::string provision(const std::string& device) {
        const auto answer = call("POST", "/provision", {{"device_id", device}, {"platform", "macos"}});
        EXPECT_EQ(answer.status, 200) << answer.body;
        return KavriAPI::ProvisionResult::decode(answer.body).subToken;
    }
    KavriAPI::StatusResult status(const std::string& token, const std::string& device = "A") {
        const auto answer = call("GET", "/status/" + token, nullptr, device);
        EXPECT_EQ(answer.status, 200) << answer.body;
        return KavriAPI::StatusResult::decode(answer.body);
    }
    std::vector<DeviceLinkAPI::Device> devices(const std::string& token, const std::string& device) {
        return DeviceLinkAPI::DeviceList::fromJson(call("POST", "/devices/list", {{"token", token}}, device).value())
            .devices;
    }
    // The user pays on the page: the link the app opens, then the button.
    std::string pay(const std::string& token, const std::string& plan) {
        const auto created = call("POST", "/pay/create", {{"sub_token", token}, {"plan", plan}, {"save_payment_method", true}});
        EXPECT_EQ(created.status, 200) << created.body;
        const auto url = KavriAPI::PaymentResult::decode(created.body).paymentURL;
        EXPECT_TRUE(url.starts_with(pages.baseURL() + "/pay/")) << url;
        HttpRequest page;
        page.url = url;
        EXPECT_NE(HttpSession().send(page).body.find("/complete"), std::string::npos);
        HttpRequest button;
        button.method = "POST";
        button.url = url + "/complete";
        return HttpSession().send(button).body;
    }

    test::TempDir temp;
    LocalAccount::Date now = std::chrono::system_clock::now();
    TestControlPlane plane;
    LocalAccount account;
    PaymentPage pages;
};

TEST_F(LocalAccountTest, AProvisionedDeviceReadsAWholeTrialAccount) {
    const std::string token = provision("A");
    const auto s = status(token);
    EXPECT_EQ(s.appID, 1001);
    EXPECT_EQ(s.state, SubscriptionState::trial);
    EXPECT_EQ(s.role, "owner");
    EXPECT_EQ(s.devices, (KavriAPI::DevicesQuota{1, 5}));
    EXPECT_EQ(s.daysLeft, 7);
    EXPECT_EQ(s.priceMonth, 299);
    EXPECT_EQ(s.currency, "RUB");
    ASSERT_TRUE(s.expiresAt);
    EXPECT_EQ(std::chrono::ceil<std::chrono::hours>(*s.expiresAt - now).count(), 24 * 7);
    ASSERT_EQ(s.plans.size(), 3u);
    EXPECT_EQ(s.plans[0].price, 299);
    ASSERT_TRUE(s.referral && s.referral->link);
    EXPECT_TRUE(s.referral->link->ends_with("1001"));
    ASSERT_TRUE(s.stack && s.stack->effective);
    EXPECT_TRUE(s.stack->manualAllowed);
    EXPECT_EQ(s.recurring, true);

    const auto sub = call("GET", "/sub/" + token);
    ASSERT_EQ(sub.status, 200);
    const auto meta = SubscriptionMeta::fromJson(sub.value()["_kavri_meta"]);
    EXPECT_EQ(meta.expiresAtUnix, std::chrono::duration_cast<std::chrono::seconds>(s.expiresAt->time_since_epoch()).count());
    EXPECT_EQ(call("GET", "/status/unknown").status, 401);
}

// Selection answers the picker's codes and narrows the served group to the
// chosen location's member.
TEST_F(LocalAccountTest, TheCatalogAndTheSelectionShapeTheServedSubscription) {
    const std::string token = provision("A");
    const auto catalog = StackAPI::Catalog::decode(call("GET", "/stack/" + token).body);
    ASSERT_GE(catalog.locations.size(), 4u);
    EXPECT_FALSE(catalog.protocols.empty());
    int offline = 0;
    for (const auto& l : catalog.locations) {
        offline += l.isOffline();
        EXPECT_FALSE(l.protocols.empty()) << l.id;
        if (!l.isOffline()) {
            EXPECT_TRUE(l.probePort && l.rttMs) << l.id;
        }
    }
    EXPECT_EQ(offline, 1);

    const auto group = [&] {
        const json sub = call("GET", "/sub/" + token).value();
        for (const auto& o : sub["outbounds"])
            if (o["tag"] == "proxy") return o["outbounds"];
        return json();
    };
    EXPECT_EQ(group(), json({"member-a", "member-b", "member-c"}));
    struct Case {
        json location, protocol;
        int status;
        json members;
    } cases[] = {
        {"jp-tyo", nullptr, 409, {"member-a", "member-b", "member-c"}},   // offline
        {"us-nyc", nullptr, 403, {"member-a", "member-b", "member-c"}},   // locked on a trial
        {"nowhere", nullptr, 409, {"member-a", "member-b", "member-c"}},
        {"de-fra", "hysteria2", 409, {"member-a", "member-b", "member-c"}},  // not offered there
        {"de-fra", "anytls", 200, {"member-b"}},
        {"fi-hel", nullptr, 200, {"member-c"}},
        {nullptr, nullptr, 200, {"member-a", "member-b", "member-c"}},
    };
    for (const auto& c : cases) {
        const auto answer = call("POST", "/stack/" + token + "/select", {{"location", c.location}, {"protocol", c.protocol}});
        EXPECT_EQ(answer.status, c.status) << c.location << answer.body;
        if (answer.status == 200) {
            const auto stack = StackAPI::SelectResponse::decode(answer.body).stack;
            ASSERT_TRUE(stack) << answer.body;
            EXPECT_EQ(stack->location.id, c.location.is_string() ? std::optional(c.location.get<std::string>()) : std::nullopt);
        }
        EXPECT_EQ(group(), c.members) << c.location;
    }
    EXPECT_EQ(call("POST", "/stack/" + token + "/select", {{"location", "fi-hel"}}).status, 200);
    EXPECT_EQ(status(token).stack->location.label, "Финляндия");
    EXPECT_EQ(call("POST", "/stack/wrong/select", {{"location", nullptr}}).status, 401);
}

// Paying on the page turns the account paid and sends the browser to the
// app; a paid owner shares a code that a second device redeems.
TEST_F(LocalAccountTest, APaidOwnerSharesACodeThatASecondDeviceRedeems) {
    const std::string owner = provision("A");
    const std::string other = provision("B");
    EXPECT_EQ(call("POST", "/link/invite", {{"token", owner}}, "A").value()["error"], "subscription_inactive");
    EXPECT_NE(pay(owner, "quarter").find(PaymentPage::paidURL), std::string::npos);
    const auto paid = status(owner);
    EXPECT_EQ(paid.state, SubscriptionState::paidAutopay);
    EXPECT_EQ(paid.daysLeft, 7 + 90);
    EXPECT_EQ(call("POST", "/pay/create", {{"sub_token", owner}, {"plan", "decade"}}).status, 400);

    EXPECT_EQ(call("POST", "/link/invite", {{"token", owner}}, "B").value()["error"], "not_owner");
    const auto invite = call("POST", "/link/invite", {{"token", owner}}, "A").value();
    const std::string code = invite["code"];
    EXPECT_EQ(code.size(), LocalAccount::codeLength);
    EXPECT_EQ(code.find_first_not_of(LocalAccount::codeAlphabet), std::string::npos) << code;
    const json joining = {{"code", code}, {"device_id", "B"}, {"platform", "macos"}, {"name", "Второй"}};
    const auto joined = call("POST", "/link/join", joining, "B");
    ASSERT_EQ(joined.status, 200) << joined.body;
    EXPECT_EQ(joined.value()["sub_token"], owner);
    EXPECT_EQ(call("POST", "/link/join", joining, "B").status, 404) << "a code is used once";
    EXPECT_EQ(status(owner, "B").role, "member");

    for (const std::string device : {"A", "B"}) {
        const auto list = devices(owner, device);
        ASSERT_EQ(list.size(), 2u) << device;
        EXPECT_EQ(list[0].current, device == "A");
        EXPECT_EQ(list[1].name, "Второй");
        EXPECT_EQ(list[1].current, device == "B");
    }
    EXPECT_TRUE(devices(other, "B").empty()) << "B left its own account";

    EXPECT_EQ(call("POST", "/devices/remove", {{"token", owner}, {"device_id", "B"}}).status, 200);
    EXPECT_EQ(devices(owner, "A").size(), 1u);
    EXPECT_EQ(call("GET", "/sub/" + owner, nullptr, "B").value()["_kavri_meta"]["device_removed"], true);
    EXPECT_EQ(call("GET", "/sub/" + owner, nullptr, "A").value()["_kavri_meta"]["device_removed"], false);
}

TEST_F(LocalAccountTest, EachAdminStateShowsAsTheAppReadsIt) {
    const std::string token = provision("A");
    struct Case {
        std::string set;
        int statusCode, subCode;
        std::optional<SubscriptionState> state;
        bool removed;
    } cases[] = {
        {"expired", 200, 402, SubscriptionState::expired, false},
        {"charge_failed", 200, 200, SubscriptionState::chargeFailed, false},
        {"device_removed", 200, 200, SubscriptionState::chargeFailed, true},
        {"blocked", 403, 403, std::nullopt, false},
        {"paid", 200, 200, SubscriptionState::paidAutopay, false},
        {"trial", 200, 200, SubscriptionState::trial, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(call("POST", "/admin/account", {{"set", c.set}}).status, 200) << c.set;
        const auto answer = call("GET", "/status/" + token, nullptr, "A");
        EXPECT_EQ(answer.status, c.statusCode) << c.set;
        if (c.state) {
            EXPECT_EQ(KavriAPI::StatusResult::decode(answer.body).state, c.state) << c.set;
        }
        const auto sub = call("GET", "/sub/" + token, nullptr, "A");
        EXPECT_EQ(sub.status, c.subCode) << c.set;
        if (sub.status == 200) {
            EXPECT_EQ(sub.value()["_kavri_meta"]["device_removed"], c.removed) << c.set;
        }
    }
    EXPECT_EQ(KavriAPI::StatusResult::decode(call("GET", "/status/" + token).body).autoChargeFailed, false);
    EXPECT_EQ(call("POST", "/admin/account", {{"set", "bankrupt"}}).status, 400);

    EXPECT_EQ(call("POST", "/admin/account", {{"set", "rotate_token"}, {"token", token}}).status, 200);
    const auto rotated = status(token).rotateToken;
    ASSERT_TRUE(rotated);
    EXPECT_EQ(status(*rotated).appID, 1001);
    EXPECT_FALSE(status(*rotated).rotateToken);
    EXPECT_EQ(call("GET", "/status/" + token).status, 401) << "the old token is done with once the new one is used";
}

TEST_F(LocalAccountTest, DownloadsComeFromTheirFolderOnly) {
    std::ofstream(temp / "latest.json") << R"({"mac":{"build":7}})";
    EXPECT_EQ(call("GET", "/dl/latest.json").body, R"({"mac":{"build":7}})");
    EXPECT_EQ(call("GET", "/dl/..%2Flatest.json").status, 404);
    EXPECT_EQ(call("GET", "/dl/missing.dmg").status, 404);
}

}  // namespace
}  // namespace kavri
