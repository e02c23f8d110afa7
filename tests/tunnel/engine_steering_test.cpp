// The controller client steering the stand-in engine on loopback, with two
// member proxies behind its group.
#include <gtest/gtest.h>

#include <httplib.h>

#include <mutex>
#include <thread>

#include "core/deployment.h"
#include "core/kavri_store.h"
#include "platform/network/fake_path_monitor.h"
#include "platform/runtime/log.h"
#include "testing/engine_rig.h"
#include "testing/test_pki.h"
#include "tunnel/clash_client.h"
#include "tunnel/telemetry.h"

using namespace kavri;
using nlohmann::json;

namespace {

std::unique_ptr<ClashClient> clientFor(const EngineRig& rig) {
    ClashClientSettings settings;
    settings.controllerBase = rig.controllerBase();
    auto client = std::make_unique<ClashClient>(settings);
    client->setSecret(rig.secret);
    client->setProbeTag("proxy");
    client->setHbPort(rig.hbPort());
    client->setHbInboundPresent(true);
    return client;
}

// HTTPS backend hosts on loopback that keep the reports they receive.
struct ReportSink {
    httplib::SSLServer server{TestPki::shared().certFile().c_str(), TestPki::shared().keyFile().c_str()};
    std::thread thread;
    int port = 0;
    std::mutex mutex;
    std::vector<json> reports;

    ReportSink() {
        server.Post("/telemetry", [this](const httplib::Request& req, httplib::Response&) {
            std::lock_guard lock(mutex);
            reports.push_back(json::parse(req.body, nullptr, false));
        });
        port = server.bind_to_any_port("127.0.0.1");
        thread = std::thread([this] { server.listen_after_bind(); });
        while (!server.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ~ReportSink() {
        server.stop();
        thread.join();
    }
    std::vector<json> received() {
        std::lock_guard lock(mutex);
        return reports;
    }
};

}  // namespace

TEST(EngineSteering, BeatsFollowTheSelectedMemberAndFailWhenItDies) {
    EngineRig rig;
    ASSERT_EQ(rig.start(), std::nullopt);
    const auto client = clientFor(rig);
    const std::string hb = rig.origin.url("/generate_204");

    EXPECT_EQ(client->heartbeatOnce(hb, 2000).status, 204);
    EXPECT_EQ(rig.m1.requestCount(), 1u);

    EXPECT_TRUE(client->clashSelect("m2"));
    EXPECT_EQ(client->heartbeatOnce(hb, 2000).status, 204);
    EXPECT_EQ(rig.m1.requestCount(), 1u);
    EXPECT_EQ(rig.m2.requestCount(), 1u);
    EXPECT_TRUE(client->memberDelayProbe(hb, 2000));

    rig.m2.stop();
    const auto beat = client->heartbeatOnce(hb, 2000);
    EXPECT_NE(beat.status, 204);  // a miss: the engine could not reach its member
    EXPECT_FALSE(client->memberDelayProbe(hb, 2000));
    const auto delays = client->clashGET("group/proxy/delay?timeout=3000");
    ASSERT_TRUE(delays);
    EXPECT_GE((*delays)["m1"].get<int>(), 1);
    EXPECT_EQ((*delays)["m2"], 0);

    EXPECT_TRUE(client->clashSelect("m1"));
    EXPECT_EQ(client->heartbeatOnce(hb, 2000).status, 204);
    EXPECT_TRUE(client->memberDelayProbe(hb, 2000));
}

TEST(EngineSteering, GroupTagWithASpaceAndASlash) {
    EngineRig rig;
    json config = rig.config();
    config["outbounds"][0]["tag"] = "my group/x";
    config["route"]["final"] = "my group/x";
    ASSERT_EQ(rig.start(config), std::nullopt);
    const auto client = clientFor(rig);
    client->setProbeTag("my group/x");

    EXPECT_TRUE(client->clashSelect("m2"));
    const auto proxies = client->clashGET("proxies");
    ASSERT_TRUE(proxies);
    EXPECT_EQ((*proxies)["proxies"]["my group/x"]["now"], "m2");
    EXPECT_TRUE(client->memberDelayProbe(rig.origin.url("/generate_204"), 2000));
    EXPECT_EQ(rig.m2.requestCount(), 1u);  // the delay test went through the selected member
}

TEST(EngineSteering, WhatTheClientTellsTheEngine) {
    EngineRig rig;
    ASSERT_EQ(rig.start(), std::nullopt);
    const auto client = clientFor(rig);
    const json detect = {{"hb_enabled", true}, {"hb_interval_ms", "4000"}, {"reality_spider_max", 9}};
    client->pushEngineTunables(detect);
    EXPECT_EQ(rig.provider.engineScript().tunables(), detect);
    client->closeAllConnections();
    EXPECT_EQ(rig.provider.engineScript().closeAllCount(), 1u);

    const auto wrong = clientFor(rig);
    wrong->setSecret("wrong");
    LogCapture log;
    EXPECT_FALSE(wrong->clashSelect("m2"));
    EXPECT_EQ(wrong->clashGET("connections"), std::nullopt);
    wrong->pushEngineTunables(json{{"hb_enabled", false}});
    EXPECT_TRUE(log.contains("[Kavri][clash] 401 на select — секрет clash_api не совпал"));
    EXPECT_TRUE(log.contains("[Kavri][clash] 401 на connections — секрет clash_api не совпал"));
    EXPECT_TRUE(log.contains("[Kavri][diag] 401 на kavri/config — секрет clash_api не совпал"));
    EXPECT_EQ(rig.provider.engineScript().tunables(), detect);
    EXPECT_EQ(rig.selected(), "m1");
}

TEST(EngineSteering, StallDumpUploadSendsAtMostTwo) {
    EngineRig rig;
    ASSERT_EQ(rig.start(), std::nullopt);
    ReportSink backend;
    Deployment d = Deployment::builtIn();
    d.hosts = {{"127.0.0.1:" + std::to_string(backend.port), {}}};
    d.caBundle = TestPki::shared().caFile();
    Deployment::install(d);

    Telemetry::Settings settings;
    const std::string base = rig.controllerBase();
    settings.clashBase = base.substr(0, base.size() - 1);
    Telemetry telemetry(Clock::system(), KavriStore::shared(), settings);
    telemetry.update([&](Telemetry::Fields& f) { f.clashSecret = rig.secret; });
    FakePathMonitor monitor;
    NetworkPath path;
    path.status = NetworkPath::Status::satisfied;
    path.availableInterfaces = {{"eth0", 2, NetworkPath::InterfaceType::wiredEthernet}};
    monitor.push(path);

    LogCapture log;
    ClashClient::uploadStallDump("tok", telemetry, &monitor);  // the engine has none
    EXPECT_TRUE(backend.received().empty());
    EXPECT_EQ(log.count("stall_dump"), 0u);

    EngineScript& script = rig.provider.engineScript();
    script.pushStallDump({{"groups", 4}, {"at", "t1"}});
    script.pushStallDump({{"at", "t2"}});
    script.pushStallDump({{"groups", 1}});
    ClashClient::uploadStallDump("tok", telemetry, &monitor);
    const auto sent = backend.received();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0]["event"], "stall_dump");
    EXPECT_EQ(sent[0]["sub_token"], "tok");
    EXPECT_EQ(sent[0]["stall_groups"], 4);
    EXPECT_EQ(sent[0]["stall_at"], "t1");
    EXPECT_EQ(sent[0]["path_status"], "satisfied");
    EXPECT_EQ(sent[0]["path_ifaces"], "eth0:2:ethernet");
    EXPECT_EQ(sent[1]["stall_at"], "t2");
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"[Kavri][diag] stall_dump отправлен (групп 4)",
                                                     "[Kavri][diag] stall_dump отправлен (групп ?)"}));
    EXPECT_EQ(script.pendingStallDumps(), 1u);

    ClashClient::uploadStallDump("tok", telemetry, nullptr);  // no monitor: no path fields
    ASSERT_EQ(backend.received().size(), 3u);
    EXPECT_FALSE(backend.received()[2].contains("path_status"));

    // A monitor that has not reported yet: the path as it stands before any
    // report, with nothing available.
    FakePathMonitor silent;
    script.pushStallDump({{"groups", 2}});
    ClashClient::uploadStallDump("tok", telemetry, &silent);
    ASSERT_EQ(backend.received().size(), 4u);
    const auto early = backend.received()[3];
    EXPECT_EQ(early["path_status"], "unsatisfied");
    EXPECT_EQ(early["path_ifaces"], "");
    EXPECT_EQ(early["path_expensive"], false);
    EXPECT_EQ(early["path_constrained"], false);
}
