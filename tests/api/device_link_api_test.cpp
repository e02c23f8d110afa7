#include "api/device_link_api.h"

#include <gtest/gtest.h>

#include "api/device_id.h"
#include "core/deployment.h"
#include "core/kavri_defaults_key.h"
#include "platform/runtime/system_info.h"
#include "testing/test_control_plane.h"
#include "tests/support/temp_dir.h"

namespace kavri {
namespace {

using namespace std::chrono_literals;
using json = nlohmann::json;
using Reply = TestControlPlane::Reply;
using Kind = DeviceLinkAPI::LinkV2Error::Kind;
using Device = DeviceLinkAPI::Device;

class DeviceLinkAPITest : public ::testing::Test {
protected:
    void SetUp() override { Deployment::install(TestControlPlane::deploymentFor({&a, &b})); }
    void TearDown() override { Deployment::install(saved); }
    DeviceLinkAPI api() { return DeviceLinkAPI(DeviceLinkAPI::session(), store); }
    void reset() {
        a.clearScript(), b.clearScript(), a.clearRequests(), b.clearRequests();
        store.removeObject(KavriDefaultsKey::cpLastGoodHost);
    }
    template <class F>
    std::optional<DeviceLinkAPI::LinkV2Error> errorOf(F&& call) {
        try {
            call();
        } catch (const DeviceLinkAPI::LinkV2Error& e) {
            return e;
        }
        return std::nullopt;
    }

    const Deployment saved = Deployment::current();
    TestControlPlane a, b;
    test::TempDir dir;
    KavriStore store{dir.path()};
};

TEST_F(DeviceLinkAPITest, EachErrorReplyMapsToItsError) {
    struct Case {
        Reply reply;
        Kind kind;
    };
    const std::vector<Case> cases = {
        {Reply::json(R"({"error":"not_owner"})", 403), Kind::notOwner},
        {Reply::json(R"({"error":"not_owner"})", 409), Kind::notOwner},  // the text decides first
        {Reply::json("", 403), Kind::network},
        {Reply::json(R"({"error":"subscription_inactive"})", 403), Kind::subscriptionInactive},
        {Reply::json(R"({"error":"device_limit","limit":5,"used":5})", 409), Kind::deviceLimit},
        {Reply::json(R"({"error":"something"})", 404), Kind::notFound},
        {Reply::json("[1,2]", 410), Kind::notFound},
        {Reply::json(R"({"error":"Not_Owner"})", 409), Kind::network},  // case counts
        {Reply::json(R"({"error":7})", 410), Kind::notFound},
        {Reply::json(R"({"code":5})", 200), Kind::network},              // a code that is no text
        {Reply::json(R"({"expires_at":5})", 200), Kind::network},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reply.body + " " + std::to_string(c.reply.status));
        reset();
        a.script(c.reply);
        const auto error = errorOf([&] { api().invite("tok"); });
        ASSERT_TRUE(error);
        EXPECT_EQ(error->kind(), c.kind);
        EXPECT_EQ(b.requestCount(), 0u);  // a final status never moves on
        if (c.kind == Kind::deviceLimit) {
            EXPECT_EQ(std::pair(error->limit(), error->used()), std::pair(5L, 5L));
        }
    }
    reset();
    a.script(Reply::json(R"({"error":"device_limit"})", 409));
    const auto bare = errorOf([&] { api().invite("tok"); });
    EXPECT_EQ(std::pair(bare->limit(), bare->used()), std::pair(0L, 0L));

    reset();
    a.script(Reply::json(R"({"error":"would_lose_paid","app_id":42,"plan":"pro","expires_at":"2026-01-02T03:04:05Z"})",
                         409));
    const auto paid = errorOf([&] { api().join("123456"); });
    ASSERT_EQ(paid->kind(), Kind::wouldLosePaid);
    EXPECT_EQ(paid->appID(), 42);
    EXPECT_EQ(paid->plan(), "pro");
    EXPECT_EQ(paid->expiresAt(), "2026-01-02T03:04:05Z");
    reset();
    a.script(Reply::json(R"({"error":"would_lose_paid","app_id":"42"})", 409));
    EXPECT_EQ(errorOf([&] { api().join("1"); })->appID(), 0);

    // Other statuses move on; with every host so, the call ends in network.
    reset();
    a.scriptAlways(Reply::withStatus(204)), b.scriptAlways(Reply::withStatus(201));
    EXPECT_EQ(errorOf([&] { api().detach("tok"); })->kind(), Kind::network);
    EXPECT_EQ(a.requestCount() + b.requestCount(), 2u);
}

TEST_F(DeviceLinkAPITest, DeepOrLongRepliesAreNoAnswers) {
    // 100,000 levels in 200 KB: within the size limit, far past the depth limit.
    const std::string deep = R"({"code":"1","a":)" + std::string(100'000, '[') + std::string(100'000, ']') + "}";
    const std::string longCode = R"({"code":")" + std::string(DeviceLinkAPI::maxReplyBytes, '1') + R"("})";
    for (const auto& body : {deep, longCode}) {
        SCOPED_TRACE(body.size());
        // Nested too deeply, a final reply reads as an empty object; too
        // long, it is no reply and the next host is asked.
        reset();
        a.scriptAlways(Reply::json(body)), b.scriptAlways(Reply::json(body));
        EXPECT_EQ(errorOf([&] { api().invite("tok"); })->kind(), Kind::network);
        EXPECT_THROW(api().listDevices("tok"), DeviceLinkAPI::LinkError);
        a.clearScript(), b.clearScript();
        a.scriptAlways(Reply::json(body, 404)), b.scriptAlways(Reply::json(body, 404));
        EXPECT_EQ(errorOf([&] { api().join("1"); })->kind(), body == deep ? Kind::notFound : Kind::network);
    }
}

TEST_F(DeviceLinkAPITest, InviteJoinAndDetachSucceedOnTheirReplies) {
    a.script(Reply::withStatus(500));
    b.script(Reply::json(R"({"code":"482913","expires_at":1767225600.5,"error":"ignored"})"));
    const auto invite = api().invite("tok");
    EXPECT_EQ(invite.code, "482913");
    EXPECT_EQ(invite.expiresAt, DeviceLinkAPI::Date(1767225600500ms));
    const auto request = b.requests().at(0);
    EXPECT_EQ(request.call(), "POST /link/invite");
    EXPECT_EQ(json::parse(request.body), (json{{"token", "tok"}}));
    EXPECT_EQ(request.header("X-Device-Id"), DeviceID::current(store));

    // A text, or a number of seconds no date can hold, gives no date.
    for (const char* at : {R"("soon")", "1e10", "1e300", "-1e300", "-2e10"}) {
        SCOPED_TRACE(at);
        reset();
        a.script(Reply::json(std::string(R"({"code":"1","expires_at":)") + at + "}"));
        EXPECT_EQ(api().invite("tok").expiresAt, std::nullopt);
    }

    reset();
    a.script(Reply::json(R"({"sub_token":"new-token","app_id":77})"));
    EXPECT_EQ(api().join("482913"), std::pair(std::string("new-token"), std::int64_t{77}));
    EXPECT_EQ(json::parse(a.requests().at(0).body),
              (json{{"code", "482913"}, {"device_id", DeviceID::current(store)}, {"platform", "macos"},
                    {"name", SystemInfo::hostName().value_or("Mac")}}));
    reset();
    a.script(Reply::json(R"({"sub_token":"t"})"));
    EXPECT_EQ(api().join("1").second, 0);

    reset();
    a.script(Reply::json("not json"));
    EXPECT_NO_THROW(api().detach("tok"));
    EXPECT_EQ(a.requests().at(0).call(), "POST /devices/detach");
}

TEST_F(DeviceLinkAPITest, TheDeviceListDecodesTolerantly) {
    struct Case {
        json reply;
        std::size_t devices;
        std::int64_t limit;
    };
    for (const auto& c : std::vector<Case>{{{{"devices", json::array()}, {"limit", 3}}, 0, 3},
                                           {json::object(), 0, 5},
                                           {{{"limit", "7"}}, 0, 5},
                                           {{{"limit", 7.0}}, 0, 7},
                                           {{{"devices", {{{"device_id", "x"}}, "y"}}}, 0, 5},
                                           {{{"devices", {{{"device_id", "x"}}, {{"name", 1}}}}}, 2, 5}}) {
        SCOPED_TRACE(c.reply.dump());
        b.setDevices("tok", c.reply.dump());
        const auto list = api().listDevices("tok");
        EXPECT_EQ(list.devices.size(), c.devices);
        EXPECT_EQ(list.limit, c.limit);
    }

    const Device bare = Device::fromJson({{"device_id", "only"}});
    EXPECT_EQ(bare, (Device{"only", "Устройство", "", std::nullopt, false, false, "", std::nullopt}));
    EXPECT_EQ(Device::fromJson({{"name", ""}}).name, "Устройство");
    const auto z = Device::fromJson({{"last_seen", "2025-03-01T09:00:00Z"}}).lastSeen;
    ASSERT_TRUE(z);
    EXPECT_EQ(Device::fromJson({{"last_seen", "2025-03-01T12:00:00+03:00"}}).lastSeen, z);
    for (const json& noDate : {json("2025-03-01T09:00:00.5Z"), json("2025-03-01"), json(1740819600)})
        EXPECT_EQ(Device::fromJson({{"added_at", noDate}}).addedAt, std::nullopt) << noDate;
    struct Flag {
        json value;
        bool blocked;
    };
    for (const auto& f : std::vector<Flag>{{true, true}, {1, true}, {0, false}, {"true", false}, {2, false}})
        EXPECT_EQ(Device::fromJson({{"blocked", f.value}}).blocked, f.blocked) << f.value;
}

TEST_F(DeviceLinkAPITest, ListAndRemovalMoveOnUntilAHostAnswersWell) {
    a.script(Reply::json("[]"));  // no object: next host
    b.setDevices("tok", R"({"devices":[{"device_id":"d1","name":"Laptop","current":true}]})");
    const auto list = api().listDevices("tok");
    ASSERT_EQ(list.devices.size(), 1u);
    EXPECT_TRUE(list.devices[0].current);
    EXPECT_EQ(b.requests().at(0).header("X-Device-Id"), DeviceID::current(store));

    reset();
    a.script(Reply::withStatus(204));
    EXPECT_NO_THROW(api().removeDevice("tok", "d1"));
    const auto removal = a.requests().at(0);
    EXPECT_EQ(removal.call(), "POST /devices/remove");
    EXPECT_EQ(json::parse(removal.body), (json{{"token", "tok"}, {"device_id", "d1"}}));
    EXPECT_EQ(removal.header("X-Device-Id"), std::nullopt);

    reset();  // unscripted removal answers 404 everywhere; the list 401 for an unknown token
    EXPECT_THROW(api().removeDevice("tok", "d1"), DeviceLinkAPI::LinkError);
    EXPECT_THROW(api().listDevices("other"), DeviceLinkAPI::LinkError);
    EXPECT_EQ(a.requestCount() + b.requestCount(), 4u);
}

}  // namespace
}  // namespace kavri
