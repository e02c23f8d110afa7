// The extension as a user's machine runs it: the durnel program in a process
// of its own, driven over its control socket as the app drives it, with the
// engine it runs, a control plane, member proxies and an origin on loopback.
// Intervals are shortened only through the detection settings the control
// plane hands out with the subscription.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <thread>

#include "core/detect_config.h"
#include "core/kavri_defaults_key.h"
#include "core/kavri_store.h"
#include "platform/http/http_session.h"
#include "platform/ne/tunnel_control_client.h"
#include "tests/support/durnel_fixture.h"

using namespace kavri;
using namespace std::chrono_literals;
using json = nlohmann::json;
using ordered_json = nlohmann::ordered_json;
namespace fs = std::filesystem;

namespace {

// A download through the engine's proxy inbound that reads (and throws away)
// whatever comes until the connection ends.
class Download {
public:
    Download(int proxyPort, const std::string& url) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<std::uint16_t>(proxyPort));
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return;
        const std::string request = "GET " + url + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
        if (::send(fd_, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) return;
        reader_ = std::jthread([this](std::stop_token stop) {
            char buffer[16384];
            while (!stop.stop_requested()) {
                pollfd p{fd_, POLLIN, 0};
                if (::poll(&p, 1, 50) <= 0) continue;
                const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
                if (n <= 0) break;
                bytes_ += static_cast<std::uint64_t>(n);
                std::this_thread::sleep_for(2ms);  // a modest pace, not a flood
            }
            ended_ = true;
        });
    }
    ~Download() {
        reader_.request_stop();
        if (reader_.joinable()) reader_.join();
        if (fd_ >= 0) ::close(fd_);
    }
    std::uint64_t bytes() const { return bytes_; }
    bool ended() const { return ended_; }

private:
    int fd_ = -1;
    std::atomic<std::uint64_t> bytes_{0};
    std::atomic<bool> ended_{false};
    std::jthread reader_;
};

template <typename Pred>
bool eventually(Pred pred, std::chrono::milliseconds timeout = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (pred()) return true;
        std::this_thread::sleep_for(20ms);
    }
    return pred();
}

class TunnelLife : public test::DurnelFixture {
protected:
    void SetUp() override {
        DurnelFixture::SetUp();
        KavriStore(shared).set(KavriDefaultsKey::appState, "foreground");
    }
    void TearDown() override {
        rig.m1.setStalled(false);
        rig.m2.setStalled(false);
    }

    // Beats every second, switches 5 s apart at the least.
    json detect(int missToSwitch) const {
        return {{"hb_enabled", true},          {"hb_url", hbURL()},
                {"hb_interval_ms", 1000},      {"hb_timeout_ms", 2000},
                {"hb_miss_to_switch", missToSwitch}, {"hb_grace_after_path_ms", 0},
                {"switch_min_interval_ms", 5000}};
    }
    void serve(ordered_json config, json meta) {
        config["_kavri_meta"] = std::move(meta);
        rig.controlPlane.setSubscription(rig.token, config);
    }
    // The rig's configuration with a third member "m3" in the group.
    ordered_json withThirdMember() const {
        auto c = rig.config();
        c["outbounds"][0]["outbounds"].push_back("m3");
        c["outbounds"].push_back(
            ordered_json{{"type", "http"}, {"tag", "m3"}, {"server", "127.0.0.1"}, {"server_port", rig.m1.port()}});
        return c;
    }

    // The selector group as the engine's controller shows it.
    json group() const {
        HttpRequest request;
        request.url = rig.controllerBase() + "/proxies/proxy";
        request.headers.push_back({"Authorization", "Bearer " + rig.secret});
        try {
            const auto response = HttpSession().send(request);
            if (response.status == 200) return json::parse(response.body, nullptr, false);
        } catch (const HttpError&) {
        }
        return nullptr;
    }
    std::string selected() const {
        const auto g = group();
        return g.is_object() && g.contains("now") && g["now"].is_string() ? g["now"].get<std::string>() : "";
    }

};

}  // namespace

TEST_F(TunnelLife, StartBeatSwitchReloadHealStop) {
    serve(rig.config(), {{"state", "paid"}, {"detect", detect(2)}});
    auto durnel = launch();
    auto client = connect(*durnel);
    ASSERT_TRUE(client);

    // 1. Started over the socket with the options the app builds.
    ASSERT_EQ(client->start(rig.options()).status, TunnelStatus::connected) << durnel->output();

    // 2. The start is announced and the connect report says "ok".
    ASSERT_TRUE(rig.waitForEvent("connect_start"));
    ASSERT_TRUE(eventually([&] {
        for (const auto& r : rig.reports())
            if (r.value("report", "") == "connect_report") return true;
        return false;
    })) << durnel->output();
    for (const auto& r : rig.reports())
        if (r.value("report", "") == "connect_report") {
            EXPECT_EQ(r["connect_outcome"], "ok") << r.dump();
        }

    // The app asks for the subscription: the detection settings come with it.
    ASSERT_EQ(client->sendMessage("poll-now", 20s), "ok") << durnel->output();
    {
        KavriStore store(shared);
        EXPECT_EQ(DetectConfig::current(store).hbIntervalMs, 1000);
    }

    // 3. Heartbeats through m1 reach the origin.
    ASSERT_TRUE(eventually([&] {
        for (const auto& e : rig.events("hb"))
            if (e["hb_result"] == "ok" && e["hb_member"] == "m1") return true;
        return false;
    })) << durnel->output();
    EXPECT_GT(rig.origin.hits("/generate_204"), 0u);
    EXPECT_EQ(selected(), "m1");

    // 4. The selected member dies: misses, a switch to m2, "member_switch".
    rig.m1.stop();
    ASSERT_TRUE(rig.waitForEvent("member_switch", 15s)) << durnel->output();
    const auto moved = rig.events("member_switch").front();
    EXPECT_EQ(moved["from"], "m1");
    EXPECT_EQ(moved["to"], "m2");
    EXPECT_EQ(moved["reason"], "hb_miss");
    EXPECT_EQ(selected(), "m2");
    rig.m1.start();

    // 5. A newer configuration (a third member, the stall watchdog on, ten
    // misses to switch): hot-reloaded, and m2 stays selected.
    serve(withThirdMember(),
          {{"state", "paid"},
           {"detect", detect(10)},
           {"stall_watch",
            {{"enabled", true}, {"version", 7}, {"stall_seconds", 3}, {"stall_seconds_bg", 3}, {"poll_ms", 500},
             {"min_new_conns", 1}, {"path_change_grace_ms", 0}}}});
    const auto refreshes = rig.events("config_refresh_ok").size();
    ASSERT_EQ(client->sendMessage("poll-now", 20s), "ok") << durnel->output();
    EXPECT_EQ(group()["all"], (json{"m1", "m2", "m3"}));
    EXPECT_EQ(selected(), "m2");
    EXPECT_TRUE(eventually([&] { return rig.events("config_refresh_ok").size() > refreshes; }));
    EXPECT_TRUE(durnel->outputHasLine(
        "[Kavri] self-heal: hot-reloaded new config (stack_select) + сброс старых соединений"));

    // 6. A download through the tunnel stalls: the watchdog rebuilds.
    Download download(rig.hbPort, rig.origin.url("/stream"));
    ASSERT_TRUE(eventually([&] { return download.bytes() > 0; })) << durnel->output();
    rig.m2.setStalled(true);
    ASSERT_TRUE(rig.waitForEvent("heal", 20s)) << durnel->output();
    const auto heal = rig.events("heal").front();
    EXPECT_EQ(heal["reason"], "stalled_session");
    EXPECT_EQ(heal["action"], "rebuild_streams");
    EXPECT_EQ(heal["heal_result"]["sw_version"], 7);
    EXPECT_GE(heal["heal_result"]["stall_ms"].get<std::int64_t>(), 3000);
    EXPECT_TRUE(eventually([&] { return download.ended(); }, 5s));  // the stalled stream was dropped
    rig.m2.setStalled(false);
    EXPECT_TRUE(rig.events("member_switch").size() == 1u);  // the rebuild came first, no switch

    // 7. The user stops the tunnel: "tunnel_stop" is at the control plane within 2 s.
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(client->stop(ProviderStopReason::userInitiated).status, TunnelStatus::disconnected);
    ASSERT_TRUE(rig.waitForEvent("tunnel_stop", 2s));
    EXPECT_LE(std::chrono::steady_clock::now() - t0, 2s);
    const auto stop = rig.events("tunnel_stop").front();
    EXPECT_EQ(stop["stop_reason"], "user_initiated");
    EXPECT_EQ(stop["user_initiated"], true);
    EXPECT_FALSE(KavriStore(shared).boolValue(KavriDefaultsKey::sessionDirty));
}

TEST_F(TunnelLife, AKilledRunIsReportedLateAndLeavesAReadableStore) {
    serve(rig.config(), {{"state", "paid"}, {"detect", detect(2)}});
    {
        auto durnel = launch();
        auto client = connect(*durnel);
        ASSERT_TRUE(client);
        ASSERT_EQ(client->start(rig.options()).status, TunnelStatus::connected) << durnel->output();
        ASSERT_EQ(client->sendMessage("poll-now", 20s), "ok") << durnel->output();
        // Mid-run: beats going, the store being written.
        ASSERT_TRUE(rig.waitForEvent("hb")) << durnel->output();
        const int status = durnel->kill(SIGKILL);
        ASSERT_TRUE(WIFSIGNALED(status));
    }
    EXPECT_TRUE(rig.events("tunnel_stop").empty());

    // The shared store still parses, with what the app and the killed run left in it.
    {
        KavriStore store(shared);
        EXPECT_EQ(store.string(KavriDefaultsKey::subTokenForNE), rig.token);
        EXPECT_TRUE(store.boolValue(KavriDefaultsKey::sessionDirty));
        EXPECT_TRUE(store.data(KavriDefaultsKey::cachedSingboxConfig));
        EXPECT_EQ(DetectConfig::current(store).hbIntervalMs, 1000);
    }

    // The next start reports the killed run.
    auto durnel = launch();
    auto client = connect(*durnel);
    ASSERT_TRUE(client);
    ASSERT_EQ(client->start(rig.options()).status, TunnelStatus::connected) << durnel->output();
    ASSERT_TRUE(rig.waitForEvent("tunnel_stop")) << durnel->output();
    const auto late = rig.events("tunnel_stop").front();
    EXPECT_EQ(late["stop_reason"], "system_killed");
    EXPECT_EQ(late["user_initiated"], false);
    EXPECT_EQ(late["detected_late"], true);
    EXPECT_EQ(late["sub_token"], rig.token);
    client->stop();
    EXPECT_EQ(rig.events("tunnel_stop").size(), 2u);
    EXPECT_EQ(rig.events("tunnel_stop").back()["stop_reason"], "user_initiated");
}
