// App messages sent to the durnel program over its control socket, as the
// app sends them.
#include <gtest/gtest.h>

#include "core/kavri_store.h"
#include "platform/ne/tunnel_control_client.h"
#include "tests/support/durnel_fixture.h"
#include "tests/support/loopback_port.h"

using namespace kavri;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

class DurnelMessages : public test::DurnelFixture {
protected:
    void SetUp() override {
        DurnelFixture::SetUp();
        durnel = launch();
        client = connect(*durnel);
        ASSERT_TRUE(client);
        ASSERT_EQ(client->start(rig.options()).status, TunnelStatus::connected);
    }
    void TearDown() override {
        if (client) client->stop();
    }

    std::optional<std::string> send(const std::string& message) { return client->sendMessage(message, 10s); }

    std::unique_ptr<ChildProcess> durnel;
    std::unique_ptr<TunnelControlClient> client;
};

}  // namespace

TEST_F(DurnelMessages, PingAnswersTheConnectTimeOrAnEmptyReply) {
    const test::LoopbackPort listening(16), closed(-1);
    const std::string open = listening.number();
    const std::string refused = closed.number();

    const auto ms = send("ping:127.0.0.1:" + open);
    ASSERT_TRUE(ms);
    EXPECT_FALSE(ms->empty());
    EXPECT_TRUE(std::all_of(ms->begin(), ms->end(), [](char c) { return c >= '0' && c <= '9'; })) << *ms;
    EXPECT_EQ(send("ping:127.0.0.1:" + refused), std::string());
    EXPECT_EQ(send("ping:127.0.0.1"), std::nullopt);
}

TEST_F(DurnelMessages, RevalidateAnswersOk) {
    EXPECT_EQ(send("revalidate"), "ok");
    EXPECT_EQ(send("something else"), std::nullopt);  // the framework answers nothing
}

TEST_F(DurnelMessages, PollNowAnswersOkAfterAReloadAndFailWhenTheControlPlaneIsDown) {
    auto served = rig.config();
    served["log"]["level"] = "debug";  // a configuration the engine does not run yet
    served["_kavri_meta"] = {{"state", "paid"}};
    rig.controlPlane.setSubscription(rig.token, served);
    EXPECT_EQ(send("poll-now"), "ok");
    EXPECT_TRUE(durnel->outputHasLine("[Kavri] self-heal: hot-reloaded new config (stack_select) + сброс старых соединений"));

    rig.controlPlane.scriptAlways(TestControlPlane::Reply::close(), "/sub/.*");
    EXPECT_EQ(send("poll-now"), "fail");  // right after the last poll: the throttle does not apply
    std::size_t fetches = 0;
    for (const auto& r : rig.controlPlane.requests()) fetches += r.path.rfind("/sub/", 0) == 0;
    EXPECT_GE(fetches, 2u);
}
