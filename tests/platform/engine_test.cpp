// The stand-in engine behind the extension framework, driven for real on
// loopback: member proxies, an origin server and the engine's controller.
#include <gtest/gtest.h>
#include <poll.h>

#include <functional>
#include <thread>

#include "platform/engine/engine_error.h"
#include "platform/engine/extension_provider.h"
#include "platform/net/tcp_listener.h"
#include "platform/net/tcp_socket.h"
#include "platform/runtime/log.h"
#include "testing/engine_rig.h"

using namespace kavri;
using namespace std::chrono_literals;
using nlohmann::json;

namespace {

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit = 5s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

// A CONNECT through the inbound; the socket once the tunnel is up.
TcpSocket tunnelThrough(std::uint16_t inboundPort, const std::string& hostPort, std::string* statusLine = nullptr) {
    TcpSocket s = TcpSocket::connect({"127.0.0.1", inboundPort}, 2s);
    s.writeAll("CONNECT " + hostPort + " HTTP/1.1\r\nHost: " + hostPort + "\r\n\r\n");
    std::string head;
    char c;
    while (head.find("\r\n\r\n") == std::string::npos && s.readSome(&c, 1) == 1) head.push_back(c);
    if (statusLine) *statusLine = head.substr(0, head.find("\r\n"));
    return s;
}

std::string readAll(TcpSocket& s) {
    std::string out;
    char buf[4096];
    while (const std::size_t n = s.readSome(buf, sizeof buf)) out.append(buf, n);
    return out;
}

std::size_t readAtLeast(TcpSocket& s, std::size_t bytes) {
    std::size_t got = 0;
    char buf[16384];
    while (got < bytes) {
        const std::size_t n = s.readSome(buf, sizeof buf);
        if (n == 0) break;
        got += n;
    }
    return got;
}

// Reads whatever arrives until nothing came for `quiet`.
std::size_t drain(TcpSocket& s, std::chrono::milliseconds quiet) {
    std::size_t got = 0;
    char buf[16384];
    for (;;) {
        pollfd p{s.fd(), POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(quiet.count())) <= 0) return got;
        const std::size_t n = s.readSome(buf, sizeof buf);
        if (n == 0) return got;
        got += n;
    }
}

json onlyConnection(const EngineRig& rig) {
    const json table = rig.apiJson("connections");
    return table["connections"].size() == 1 ? table["connections"][0] : json();
}

}  // namespace

TEST(StandInEngine, SelectedMemberCarriesTheInboundsTraffic) {
    EngineRig rig;
    ASSERT_EQ(rig.start(), std::nullopt);
    EXPECT_EQ(rig.selected(), "m1");
    EXPECT_EQ(rig.viaInbound(rig.origin.url("/generate_204")).status, 204);
    EXPECT_TRUE(rig.m1.sawTarget(rig.origin.hostPort()));
    EXPECT_EQ(rig.m2.requestCount(), 0u);

    EXPECT_EQ(rig.api("PUT", "proxies/proxy", R"({"name":"m2"})").status, 204);
    EXPECT_EQ(rig.selected(), "m2");
    EXPECT_EQ(rig.viaInbound(rig.origin.url("/generate_204")).status, 204);
    EXPECT_EQ(rig.m1.requestCount(), 1u);
    EXPECT_TRUE(rig.m2.sawTarget(rig.origin.hostPort()));

    const json proxies = rig.apiJson("proxies")["proxies"];
    EXPECT_EQ(proxies["proxy"]["type"], "Selector");
    EXPECT_EQ(proxies["proxy"]["all"], json({"m1", "m2"}));
    EXPECT_EQ(proxies["m1"]["type"], "HTTP");
    EXPECT_FALSE(proxies.contains("tun-in"));
}

TEST(StandInEngine, SelectionsTheControllerRefuses) {
    EngineRig rig;
    ASSERT_EQ(rig.start(), std::nullopt);
    struct Case {
        std::string path, body;
        int status;
    } cases[] = {
        {"proxies/proxy", R"({"name":"m3"})", 400},   // not a member
        {"proxies/m1", R"({"name":"m2"})", 400},      // not a selector
        {"proxies/nothing", R"({"name":"m2"})", 404},
        {"proxies/proxy", R"({"nom":"m2"})", 400},
        {"proxies/proxy", "not json", 400},
    };
    for (const auto& c : cases) EXPECT_EQ(rig.api("PUT", c.path, c.body).status, c.status) << c.path << " " << c.body;
    EXPECT_EQ(rig.selected(), "m1");
}

TEST(StandInEngine, EveryMemberTypeCarriesBothRequestForms) {
    struct Case {
        std::string type;
        bool connect;
        std::string seenMethod;  // empty: the member proxy is not used
    } cases[] = {
        {"http", false, "GET"},   {"http", true, "CONNECT"},  {"socks", false, "SOCKS5"},
        {"socks", true, "SOCKS5"}, {"direct", false, ""},     {"direct", true, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.type + (c.connect ? " CONNECT" : " absolute-form"));
        EngineRig rig;
        json config = rig.config();
        config["outbounds"].push_back(c.type == "direct" ? json{{"type", "direct"}, {"tag", "way"}}
                                                         : EngineRig::member("way", rig.m1, c.type));
        config["route"]["final"] = "way";
        ASSERT_EQ(rig.start(config), std::nullopt);
        if (c.connect) {
            std::string status;
            TcpSocket s = tunnelThrough(rig.hbPort(), rig.origin.hostPort(), &status);
            EXPECT_EQ(status, "HTTP/1.1 200 Connection established");
            s.writeAll("GET /hello HTTP/1.1\r\nHost: " + rig.origin.hostPort() + "\r\nConnection: close\r\n\r\n");
            EXPECT_NE(readAll(s).find("hello"), std::string::npos);
        } else {
            const auto reply = rig.viaInbound(rig.origin.url("/hello"));
            EXPECT_EQ(reply.status, 200);
            EXPECT_EQ(reply.body, "hello");
        }
        if (c.seenMethod.empty()) {
            EXPECT_EQ(rig.m1.requestCount(), 0u);
        } else {
            ASSERT_EQ(rig.m1.requestCount(), 1u);
            EXPECT_EQ(rig.m1.requests()[0].method, c.seenMethod);
            EXPECT_NE(rig.m1.requests()[0].target.find(rig.origin.hostPort()), std::string::npos);
        }
        EXPECT_EQ(rig.origin.hits("/hello"), 1u);
    }
}

TEST(StandInEngine, BlockRefusesAndUnspokenProtocolsAreUnreachable) {
    LogCapture log;
    EngineRig rig;
    json config = rig.config();
    config["outbounds"].push_back({{"type", "block"}, {"tag", "deny"}});
    config["outbounds"].push_back({{"type", "vless"}, {"tag", "far"}, {"server", "127.0.0.1"}, {"server_port", 9}});
    config["outbounds"].push_back({{"type", "hysteria2"}, {"tag", "farther"}, {"server", "127.0.0.1"}, {"server_port", 9}});
    config["outbounds"][0]["outbounds"] = {"m1", "deny", "far"};
    ASSERT_EQ(rig.start(config), std::nullopt);
    EXPECT_EQ(log.count("cannot speak"), 1u);
    EXPECT_TRUE(log.containsText("[engine] cannot speak vless (far), hysteria2 (farther)"));

    const std::pair<std::string, int> cases[] = {{"deny", 403}, {"far", 502}, {"m1", 200}};
    for (const auto& [member, status] : cases) {
        ASSERT_EQ(rig.api("PUT", "proxies/proxy", json{{"name", member}}.dump()).status, 204);
        EXPECT_EQ(rig.viaInbound(rig.origin.url("/hello")).status, status) << member;
    }
    EXPECT_EQ(rig.origin.hits("/hello"), 1u);
    const json diag = rig.apiJson("kavri/diag");
    EXPECT_EQ(diag["dials_total"], 2);
    EXPECT_EQ(diag["dials_fail_dial"], 1);
}

TEST(StandInEngine, KilledMemberFailsItsTestsWhileTheOtherPasses) {
    EngineRig rig;
    ASSERT_EQ(rig.start(), std::nullopt);
    const std::string url = percentEncodeAlnum(rig.origin.url("/generate_204"));
    rig.m1.stop();

    EXPECT_EQ(rig.viaInbound(rig.origin.url("/generate_204")).status, 502);
    const json group = rig.apiJson("group/proxy/delay?timeout=2000");
    EXPECT_EQ(group["m1"], 0);
    EXPECT_GE(group["m2"].get<int>(), 1);
    EXPECT_EQ(rig.api("GET", "proxies/proxy/delay?timeout=2000&url=" + url).status, 503);

    const json history = rig.apiJson("proxies")["proxies"];
    EXPECT_TRUE(history["m1"]["history"].empty());
    ASSERT_EQ(history["m2"]["history"].size(), 1u);
    EXPECT_GE(history["m2"]["history"][0]["delay"].get<int>(), 1);
    EXPECT_TRUE(history["m2"]["history"][0]["time"].is_string());

    // Back on the same port, the member carries traffic again.
    rig.m1.start();
    const json delay = rig.apiJson("proxies/proxy/delay?timeout=2000&url=" + url);
    EXPECT_GE(delay["delay"].get<int>(), 1);
    EXPECT_EQ(rig.viaInbound(rig.origin.url("/generate_204")).status, 204);
}

TEST(StandInEngine, UrlTestGroupFollowsItsDelayTest) {
    EngineRig rig;
    json config = rig.config();
    config["outbounds"][0]["type"] = "urltest";
    config["outbounds"][0].erase("default");
    ASSERT_EQ(rig.start(config), std::nullopt);
    EXPECT_EQ(rig.selected(), "m1");
    EXPECT_EQ(rig.apiJson("proxies/proxy")["type"], "URLTest");
    EXPECT_EQ(rig.api("PUT", "proxies/proxy", R"({"name":"m2"})").status, 400);
    rig.m1.stop();
    rig.apiJson("group/proxy/delay?timeout=2000");
    EXPECT_EQ(rig.selected(), "m2");
    EXPECT_EQ(rig.viaInbound(rig.origin.url("/generate_204")).status, 204);
}

TEST(StandInEngine, ControllerWantsTheBearerSecret) {
    EngineRig rig;
    ASSERT_EQ(rig.start(), std::nullopt);
    const std::pair<std::string, int> cases[] = {{"", 401}, {"wrong", 401}, {rig.secret, 200}};
    for (const auto& [secret, status] : cases) {
        EXPECT_EQ(rig.api("GET", "proxies", {}, secret).status, status) << secret;
        EXPECT_EQ(rig.api("DELETE", "connections", {}, secret).status, status == 200 ? 204 : 401) << secret;
    }

    EngineRig open;
    open.secret = "";
    ASSERT_EQ(open.start(), std::nullopt);
    EXPECT_EQ(open.api("GET", "proxies", {}, "").status, 200);
}

TEST(StandInEngine, ConnectionTableFollowsALongDownloadAndDropCloses) {
    const std::string ways[] = {"DELETE connections", "resetNetwork"};
    for (const auto& way : ways) {
        SCOPED_TRACE(way);
        EngineRig rig;
        ASSERT_EQ(rig.start(), std::nullopt);
        TcpSocket s = tunnelThrough(rig.hbPort(), rig.origin.hostPort());
        s.writeAll("GET /stream HTTP/1.1\r\nHost: " + rig.origin.hostPort() + "\r\n\r\n");
        ASSERT_GE(readAtLeast(s, 64 * 1024), 64u * 1024);

        // The engine counts what it relayed, a moment after the client has it.
        json first;
        ASSERT_TRUE(eventually([&] {
            first = onlyConnection(rig);
            return !first.is_null() && first["download"].get<std::uint64_t>() >= 64 * 1024;
        }));
        EXPECT_EQ(first["chains"], json({"m1", "proxy"}));
        EXPECT_EQ(first["metadata"]["destinationIP"], "127.0.0.1");
        EXPECT_EQ(first["metadata"]["destinationPort"], std::to_string(rig.origin.port()));
        EXPECT_EQ(first["metadata"]["type"], "mixed/hb-in");
        EXPECT_EQ(first["rule"], "final");
        EXPECT_TRUE(first["start"].is_string());
        EXPECT_GT(first["upload"].get<std::uint64_t>(), 0u);
        const auto before = first["download"].get<std::uint64_t>();

        // As the client keeps reading, the count grows (the socket buffers
        // let the engine run ahead of the client, so read until it does).
        json later;
        ASSERT_TRUE(eventually([&] {
            readAtLeast(s, 64 * 1024);
            later = onlyConnection(rig);
            return !later.is_null() && later["download"].get<std::uint64_t>() > before;
        }));
        EXPECT_EQ(later["id"], first["id"]);
        EXPECT_GE(rig.apiJson("connections")["downloadTotal"].get<std::uint64_t>(),
                  later["download"].get<std::uint64_t>());

        if (way == "resetNetwork") {
            ASSERT_NE(rig.provider.commandServer(), nullptr);
            rig.provider.commandServer()->resetNetwork();
        } else {
            EXPECT_EQ(rig.api("DELETE", "connections").status, 204);
        }
        readAll(s);  // ends: the engine closed the connection
        EXPECT_TRUE(eventually([&] { return rig.apiJson("connections")["connections"].empty(); }));
        EXPECT_EQ(rig.provider.engineScript().closeAllCount(), 1u);
    }
}

TEST(StandInEngine, StalledMemberKeepsTheConnectionOpenWithoutMovingBytes) {
    EngineRig rig;
    ASSERT_EQ(rig.start(), std::nullopt);
    TcpSocket s = tunnelThrough(rig.hbPort(), rig.origin.hostPort());
    s.writeAll("GET /stream HTTP/1.1\r\nHost: " + rig.origin.hostPort() + "\r\n\r\n");
    ASSERT_GE(readAtLeast(s, 64 * 1024), 64u * 1024);

    rig.m1.setStalled(true);
    drain(s, 150ms);  // what was already on its way
    const json stalled = onlyConnection(rig);
    ASSERT_FALSE(stalled.is_null());
    EXPECT_EQ(drain(s, 100ms), 0u);
    EXPECT_EQ(onlyConnection(rig)["download"], stalled["download"]);
    EXPECT_EQ(rig.m1.liveConnections(), 1u);

    rig.m1.setStalled(false);
    EXPECT_GE(readAtLeast(s, 64 * 1024), 64u * 1024);
}

TEST(StandInEngine, FailedReloadKeepsServingAndGoodReloadResetsTheGroup) {
    EngineRig rig;
    ASSERT_EQ(rig.start(), std::nullopt);
    const std::uint16_t port = rig.hbPort();
    ASSERT_EQ(rig.api("PUT", "proxies/proxy", R"({"name":"m2"})").status, 204);

    TcpListener taken("127.0.0.1", 0);
    json withTakenPort = rig.config();
    withTakenPort["inbounds"].push_back({{"type", "http"}, {"tag", "extra"}, {"listen_port", taken.port()}});
    json unknownMember = rig.config();
    unknownMember["outbounds"][0]["outbounds"] = {"m1", "m9"};
    const std::pair<std::string, std::string> bad[] = {
        {"{\"inbounds\": [", "not valid JSON"},
        {"[1, 2]", "not a JSON object"},
        {withTakenPort.dump(), "inbound \"extra\": 127.0.0.1:" + std::to_string(taken.port()) + ": Address already in use"},
        {unknownMember.dump(), "unknown outbound \"m9\""},
    };
    for (const auto& [text, why] : bad) {
        try {
            rig.provider.hotReload(text);
            ADD_FAILURE() << "reload accepted: " << text;
        } catch (const EngineError& e) {
            EXPECT_NE(std::string(e.what()).find(why), std::string::npos) << e.what();
        }
        EXPECT_EQ(rig.selected(), "m2");
        EXPECT_EQ(rig.hbPort(), port);
        EXPECT_EQ(rig.viaInbound(rig.origin.url("/generate_204")).status, 204);
    }
    EXPECT_EQ(rig.m1.requestCount(), 0u);

    rig.provider.hotReload(rig.config().dump());
    EXPECT_EQ(rig.selected(), "m1");
    EXPECT_EQ(rig.hbPort(), port);
    EXPECT_EQ(rig.viaInbound(rig.origin.url("/generate_204")).status, 204);
    EXPECT_EQ(rig.m1.requestCount(), 1u);

    // A reload may bring a new inbound and a new secret.
    json next = rig.config();
    next["inbounds"].push_back({{"type", "http"}, {"tag", "extra"}, {"listen", "0.0.0.0"}, {"listen_port", 0}});
    next["experimental"]["clash_api"]["secret"] = "next";
    rig.provider.hotReload(next.dump());
    const auto extra = rig.provider.engine()->inboundAddress("extra");
    ASSERT_TRUE(extra);
    EXPECT_EQ(extra->host, "127.0.0.1");  // never a proxy open to the network
    EXPECT_EQ(rig.api("GET", "proxies").status, 401);
    EXPECT_EQ(rig.api("GET", "proxies", {}, "next").status, 200);
}

TEST(StandInEngine, StartFailsWithAClearError) {
    TcpListener taken("127.0.0.1", 0);
    const std::string at = "127.0.0.1:" + std::to_string(taken.port());
    EngineRig other;
    ASSERT_EQ(other.start(), std::nullopt);
    const std::string otherController = "127.0.0.1:" + std::to_string(other.controllerPort());
    struct Case {
        std::function<json(const EngineRig&)> options;
        std::string why;
    } cases[] = {
        {[](const EngineRig&) { return json{{"configContent", "{oops"}}; }, "not valid JSON"},
         {[](const EngineRig&) { return json{{"subToken", "t"}}; }, "configContent"},
         {[](const EngineRig&) { return json{{"configContent", 42}}; }, "configContent"},
         {[&](const EngineRig& r) {
              json c = r.config();
              c["inbounds"][0]["listen_port"] = taken.port();
              return json{{"configContent", c.dump()}};
          },
          "inbound \"hb-in\": " + at + ": Address already in use"},
         {[&](const EngineRig& r) {
              json c = r.config();
              c["experimental"]["clash_api"]["external_controller"] = at;
              return json{{"configContent", c.dump()}};
          },
          "controller " + at + ": Address already in use"},
         {[&](const EngineRig& r) {
              json c = r.config();
              c["experimental"]["clash_api"]["external_controller"] = otherController;
              return json{{"configContent", c.dump()}};
          },
          "controller " + otherController + ": Address already in use"},
    };
    for (const auto& c : cases) {
        EngineRig rig;
        std::optional<std::string> error;
        const json options = c.options(rig);
        rig.provider.startTunnel(options, [&](std::optional<std::string> e) { error = e; });
        ASSERT_TRUE(error.has_value()) << c.why;
        EXPECT_NE(error->find(c.why), std::string::npos) << *error;
        EXPECT_EQ(rig.provider.engine(), nullptr);
        EXPECT_EQ(rig.provider.commandServer(), nullptr);
        EXPECT_EQ(rig.provider.tunnelOptions(), options);
    }
}

TEST(StandInEngine, RunsOneAtATimeAndKeepsTheOptions) {
    EngineRig rig;
    ASSERT_EQ(rig.start(), std::nullopt);
    EXPECT_EQ(rig.start(), std::optional<std::string>("the engine is already running"));
    const auto options = rig.provider.tunnelOptions();
    ASSERT_TRUE(options);
    EXPECT_TRUE((*options)["configContent"].is_string());
    TcpSocket live = tunnelThrough(rig.hbPort(), rig.origin.hostPort());

    bool stopped = false;
    rig.provider.stopTunnel(ProviderStopReason::userInitiated, [&] { stopped = true; });
    EXPECT_TRUE(stopped);
    EXPECT_EQ(rig.provider.engine(), nullptr);
    EXPECT_EQ(rig.provider.commandServer(), nullptr);
    EXPECT_EQ(readAll(live), "");  // the stop closed it
    EXPECT_THROW(rig.provider.hotReload(rig.config().dump()), EngineError);
    EXPECT_TRUE(rig.provider.tunnelOptions());

    std::optional<std::string> reply = "unset";
    rig.provider.handleAppMessage("anything", [&](std::optional<std::string> r) { reply = r; });
    EXPECT_EQ(reply, std::nullopt);

    ASSERT_EQ(rig.start(), std::nullopt);  // a new run
    EXPECT_EQ(rig.viaInbound(rig.origin.url("/generate_204")).status, 204);
}

TEST(StandInEngine, ScriptedAnswersAndWhatTheEngineWasTold) {
    EngineRig rig;
    ASSERT_EQ(rig.start(), std::nullopt);
    EngineScript& script = rig.provider.engineScript();

    EXPECT_EQ(rig.apiJson("kavri/stall_dump"), json({{"empty", true}}));
    script.pushStallDump({{"groups", 3}});
    script.pushStallDump({{"groups", 4}});
    EXPECT_EQ(rig.apiJson("kavri/diag")["stall_dumps_pending"], 2);
    EXPECT_EQ(rig.apiJson("kavri/stall_dump"), json({{"groups", 3}}));
    EXPECT_EQ(rig.apiJson("kavri/stall_dump"), json({{"groups", 4}}));
    EXPECT_EQ(rig.apiJson("kavri/stall_dump"), json({{"empty", true}}));

    const json diag = {{"dials_total", 7}, {"stall_dumps_pending", 1}};
    script.setDiag(diag);
    EXPECT_EQ(rig.apiJson("kavri/diag"), diag);
    script.setDiag(std::nullopt);
    EXPECT_EQ(rig.apiJson("kavri/diag")["dials_total"], 0);

    const json table = {{"downloadTotal", 10}, {"uploadTotal", 2}, {"connections", {{{"id", "a"}}}}};
    script.setConnections(table);
    EXPECT_EQ(rig.apiJson("connections"), table);
    script.setConnections(std::nullopt);
    EXPECT_TRUE(rig.apiJson("connections")["connections"].empty());

    EXPECT_EQ(rig.api("POST", "kavri/config", R"({"hb_enabled":true,"reality_spider_max":9})").status, 204);
    EXPECT_EQ(script.tunables(), json({{"hb_enabled", true}, {"reality_spider_max", 9}}));
    EXPECT_EQ(rig.api("POST", "kavri/config", "[1]").status, 400);
}
