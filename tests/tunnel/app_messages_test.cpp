// Messages from the app, answered by the provider itself or by the framework.
#include <gtest/gtest.h>

#include <future>

#include "platform/runtime/fake_clock.h"
#include "platform/runtime/log.h"
#include "tests/support/fresh_shared_store.h"
#include "tests/support/loopback_port.h"
#include "tunnel/packet_tunnel_provider.h"

using namespace kavri;
using namespace std::chrono_literals;

namespace {

bool isDecimal(const std::string& s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

TEST(AppMessages, PingProbesTheConnectTimeOrGivesNoReply) {
    PacketTunnelProvider provider;
    test::LoopbackPort open(16), closed(-1);
    enum Reply { number, empty, none };
    const std::vector<std::pair<std::string, Reply>> cases = {
        {"ping:127.0.0.1:" + open.number(), number},
        {"ping:::127.0.0.1::" + open.number(), number},  // empty pieces are dropped
        {"ping:localhost:" + open.number(), number},
        {"ping:127.0.0.1:" + closed.number(), empty},
        {"ping:127.0.0.1:0", empty},  // parsed, probed, refused
        {"ping:127.0.0.1\xff:" + open.number(), none},  // not UTF-8: the framework's (no reply)
        {"ping:127.0.0.1", none},
        {"ping:", none},
        {"ping:a:127.0.0.1:" + open.number(), none},
        {"ping:[::1]:" + open.number(), none},  // an IPv6 literal's colons add pieces
        {"ping:127.0.0.1:65536", none},
        {"ping:127.0.0.1:-1", none},
        {"ping:127.0.0.1:80x", none},
        {"ping:127.0.0.1:+80", none},
        {"Ping:127.0.0.1:" + open.number(), none},  // the framework's
        {"Poll-now", none},
        {"", none},
    };
    for (const auto& [message, expected] : cases) {
        SCOPED_TRACE(message);
        const auto reply = provider.dispatchAppMessage(message);
        switch (expected) {
            case number:
                ASSERT_TRUE(reply);
                EXPECT_TRUE(isDecimal(*reply)) << *reply;
                break;
            case empty: EXPECT_EQ(reply, std::string()); break;
            case none: EXPECT_EQ(reply, std::nullopt); break;
        }
    }
}

TEST(AppMessages, RevalidateMarksTheLastWakeAndRepliesOk) {
    test::freshSharedStore();  // default wake settings, no token
    FakeClock clock;
    ProviderSettings settings;
    settings.clock = &clock;
    LogCapture log;
    auto longSleep = [&] { return log.count("[Kavri] сон "); };
    {
        // Without it, the first wake counts as one after a long sleep.
        PacketTunnelProvider provider(settings);
        provider.wake();
        ASSERT_EQ(longSleep(), 1u);
    }
    PacketTunnelProvider provider(settings);
    clock.advance(1h);
    std::promise<std::optional<std::string>> replied;
    provider.handleAppMessage("revalidate", [&](std::optional<std::string> r) { replied.set_value(r); });
    EXPECT_EQ(replied.get_future().get(), "ok");
    provider.wake();  // the last wake is now
    EXPECT_EQ(longSleep(), 1u);
}
