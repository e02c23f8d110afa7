// The controller client against a controller that answers as each case
// needs (a real HTTP server on loopback), and the heartbeat probe through a
// real proxy.
#include <gtest/gtest.h>
#include <httplib.h>

#include <mutex>
#include <thread>

#include "platform/runtime/log.h"
#include "testing/member_proxy.h"
#include "testing/origin_server.h"
#include "tunnel/clash_client.h"

using namespace kavri;
using namespace std::chrono_literals;
using nlohmann::json;

namespace {

// A controller on a free loopback port: records every request and answers
// with `answer` (200 and an empty object unless a test says otherwise).
class ScriptedController {
public:
    struct Seen {
        std::string method, target, body, contentType;
        std::optional<std::string> authorization;
    };

    std::function<void(const httplib::Request&, httplib::Response&)> answer;

    ScriptedController() {
        const auto handle = [this](const httplib::Request& req, httplib::Response& res) {
            {
                std::lock_guard lock(mutex_);
                Seen s{req.method, req.target, req.body, req.get_header_value("Content-Type"), std::nullopt};
                if (req.has_header("Authorization")) s.authorization = req.get_header_value("Authorization");
                seen_.push_back(std::move(s));
            }
            if (answer)
                answer(req, res);
            else
                res.set_content("{}", "application/json");
        };
        server_.Get(".*", handle);
        server_.Put(".*", handle);
        server_.Post(".*", handle);
        server_.Delete(".*", handle);
        port_ = server_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        while (!server_.is_running()) std::this_thread::sleep_for(1ms);
    }
    ~ScriptedController() {
        server_.stop();
        thread_.join();
    }

    ClashClientSettings settings() const {
        ClashClientSettings s;
        s.controllerBase = "http://127.0.0.1:" + std::to_string(port_) + "/";
        return s;
    }
    std::vector<Seen> seen() const {
        std::lock_guard lock(mutex_);
        return seen_;
    }

private:
    httplib::Server server_;
    int port_ = 0;
    std::thread thread_;
    mutable std::mutex mutex_;
    std::vector<Seen> seen_;
};

void replyWith(ScriptedController& c, int status, const std::string& body) {
    c.answer = [status, body](const httplib::Request&, httplib::Response& res) {
        res.status = status;
        res.set_content(body, "application/json");
    };
}

std::vector<std::string> kavriLines(const LogCapture& log) {
    std::vector<std::string> out;
    for (const auto& l : log.lines())
        if (l.rfind("[Kavri]", 0) == 0) out.push_back(l);
    return out;
}

}  // namespace

TEST(ClashClient, BearerHeaderOnlyWithASecret) {
    for (const std::string secret : {"", "k3y"}) {
        ScriptedController controller;
        ClashClient client(controller.settings());
        client.setSecret(secret);
        client.clashGET("connections");
        client.clashSelect("m1");
        client.closeAllConnections();
        client.pushEngineTunables(json{{"hb_enabled", true}});
        const auto seen = controller.seen();
        ASSERT_EQ(seen.size(), 4u);
        for (const auto& s : seen) {
            if (secret.empty())
                EXPECT_FALSE(s.authorization) << s.method << " " << s.target;
            else
                EXPECT_EQ(s.authorization, "Bearer " + secret) << s.method << " " << s.target;
        }
    }
}

TEST(ClashClient, RequestFormsWithPercentEncodedPathTexts) {
    ScriptedController controller;
    replyWith(controller, 200, R"({"delay": 120})");
    ClashClient client(controller.settings());
    client.setProbeTag("my group/x");

    EXPECT_TRUE(client.clashSelect("m 1"));
    EXPECT_TRUE(client.memberDelayProbe("http://127.0.0.1:9/generate_204", 2000));
    client.closeAllConnections();
    client.pushEngineTunables(json{{"hb_enabled", false}, {"reality_spider_max", 9}});
    client.pushEngineTunables(std::nullopt);  // nothing stored: nothing sent
    client.clashGET("group/" + ClashClient::encode(client.probeTag()) + "/delay?timeout=3000");

    const auto seen = controller.seen();
    ASSERT_EQ(seen.size(), 5u);
    EXPECT_EQ(seen[0].method, "PUT");
    EXPECT_EQ(seen[0].target, "/proxies/my%20group%2Fx");
    EXPECT_EQ(seen[0].body, R"({"name":"m 1"})");
    EXPECT_EQ(seen[0].contentType, "application/json");
    EXPECT_EQ(seen[1].method, "GET");
    EXPECT_EQ(seen[1].target,
              "/proxies/my%20group%2Fx/delay?timeout=2000&url=http%3A%2F%2F127%2E0%2E0%2E1%3A9%2Fgenerate%5F204");
    EXPECT_EQ(seen[2].method, "DELETE");
    EXPECT_EQ(seen[2].target, "/connections");
    EXPECT_EQ(seen[3].method, "POST");
    EXPECT_EQ(seen[3].target, "/kavri/config");
    EXPECT_EQ(json::parse(seen[3].body), json({{"hb_enabled", false}, {"reality_spider_max", 9}}));
    EXPECT_EQ(seen[3].contentType, "application/json");
    EXPECT_EQ(seen[4].target, "/group/my%20group%2Fx/delay?timeout=3000");
}

TEST(ClashClient, PathTextsKeepLettersMarksAndDigitsOfEveryScript) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"my group/x", "my%20group%2Fx"},
        {"Прокси 1", "Прокси%201"},
        {"日本-2", "日本%2D2"},
        {"cafe\u0301", "cafe\u0301"},              // a combining mark stays
        {"\xD9\xA3x_", "\xD9\xA3x%5F"},          // an Arabic-Indic digit stays
        {"\xF0\x9F\x98\x80", "%F0%9F%98%80"},    // a symbol is encoded
        {"\xFF" "a", "%FFa"},                         // not UTF-8: byte by byte
    };
    for (const auto& [text, encoded] : cases) EXPECT_EQ(ClashClient::encode(text), encoded) << text;

    ScriptedController controller;
    ClashClient client(controller.settings());
    client.setProbeTag("Прокси");
    EXPECT_TRUE(client.clashSelect("m1"));
    const auto seen = controller.seen();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].target, "/proxies/%D0%9F%D1%80%D0%BE%D0%BA%D1%81%D0%B8");  // as URLs carry them
}

TEST(ClashClient, SelectionAndTunablesOutcomes) {
    struct Case {
        int status;
        bool selected;
        std::vector<std::string> lines;
    } cases[] = {
        {204, true, {"[Kavri][hb] select → m2"}},
        {200, true, {"[Kavri][hb] select → m2"}},
        {401, false,
         {"[Kavri][clash] 401 на select — секрет clash_api не совпал",
          "[Kavri][diag] 401 на kavri/config — секрет clash_api не совпал"}},
        {500, false, {}},
        {404, false, {}},
    };
    for (const auto& c : cases) {
        ScriptedController controller;
        replyWith(controller, c.status, "{}");
        ClashClient client(controller.settings());
        LogCapture log;
        EXPECT_EQ(client.clashSelect("m2"), c.selected) << c.status;
        client.pushEngineTunables(json{{"hb_enabled", true}});
        EXPECT_EQ(kavriLines(log), c.lines) << c.status;
    }

    ClashClientSettings nowhere;
    nowhere.controllerBase = "http://127.0.0.1:9/";
    LogCapture log;
    EXPECT_FALSE(ClashClient(nowhere).clashSelect("m2"));
    EXPECT_TRUE(kavriLines(log).empty());
}

TEST(ClashClient, ControllerReadsYieldObjectsOnly) {
    struct Case {
        int status;
        std::string body;
        std::optional<json> expected;
        std::vector<std::string> lines;
    } cases[] = {
        {200, R"({"proxies": {}})", json{{"proxies", json::object()}}, {}},
        {500, R"({"message": "boom"})", json{{"message", "boom"}}, {}},
        {404, R"({"message": "Resource not found"})", json{{"message", "Resource not found"}}, {}},
        {200, "[1, 2]", std::nullopt, {}},
        {200, "not json", std::nullopt, {}},
        {401, R"({"message": "Unauthorized"})", std::nullopt,
         {"[Kavri][clash] 401 на proxies — секрет clash_api не совпал"}},
    };
    for (const auto& c : cases) {
        ScriptedController controller;
        replyWith(controller, c.status, c.body);
        LogCapture log;
        EXPECT_EQ(ClashClient(controller.settings()).clashGET("proxies"), c.expected) << c.body;
        EXPECT_EQ(kavriLines(log), c.lines);
    }

    ScriptedController controller;
    ClashClient client(controller.settings());
    EXPECT_EQ(client.clashGET("bad path"), std::nullopt);  // not a URL: never sent
    EXPECT_TRUE(controller.seen().empty());
    ClashClientSettings nowhere;
    nowhere.controllerBase = "http://127.0.0.1:9/";
    EXPECT_EQ(ClashClient(nowhere).clashGET("proxies"), std::nullopt);
}

TEST(ClashClient, DelayProbeFallsBackToOneHeartbeat) {
    OriginServer origin;
    MemberProxy inbound;  // stands for the engine's heartbeat inbound
    struct Case {
        int status;
        std::string reply;
        std::string hbPath;
        bool expected;
        std::size_t beats;
    } cases[] = {
        {200, R"({"delay": 120})", "/generate_204", true, 0},
        {200, R"({"delay": 0})", "/generate_204", true, 1},
        {200, R"({"delay": 0})", "/hello", false, 1},
        {200, R"({"delay": 1.5})", "/generate_204", true, 1},
        {504, R"({"message": "Timeout"})", "/generate_204", true, 1},
        {503, R"({"message": "An error occurred in the delay test"})", "/hello", false, 1},
    };
    for (const auto& c : cases) {
        ScriptedController controller;
        replyWith(controller, c.status, c.reply);
        ClashClient client(controller.settings());
        client.setHbPort(inbound.port());
        client.setHbInboundPresent(true);
        inbound.clearRequests();
        EXPECT_EQ(client.memberDelayProbe(origin.url(c.hbPath), 2000), c.expected) << c.reply;
        EXPECT_EQ(inbound.requestCount(), c.beats) << c.reply;
    }
}

TEST(ClashClient, HeartbeatGoesThroughTheInboundOnly) {
    OriginServer origin;
    MemberProxy inbound;
    ClashClient client;
    client.setHbPort(inbound.port());

    EXPECT_FALSE(client.heartbeatOnce(origin.url("/generate_204"), 2000).status);  // no inbound learned
    client.setHbInboundPresent(true);
    for (const std::string bad : {"", "not a url", "http://", "ftp://127.0.0.1/x", "http://127.0.0.1/a b"}) {
        const auto r = client.heartbeatOnce(bad, 2000);
        EXPECT_FALSE(r.status) << bad;
        EXPECT_FALSE(r.rttMs) << bad;
    }
    EXPECT_EQ(inbound.requestCount(), 0u);

    struct Case {
        std::string path;
        std::optional<int> status;
    } cases[] = {{"/generate_204", 204}, {"/hello", 200}};
    for (const auto& c : cases) {
        const auto r = client.heartbeatOnce(origin.url(c.path), 2000);
        EXPECT_EQ(r.status, c.status);
        ASSERT_TRUE(r.rttMs);
        EXPECT_GE(*r.rttMs, 0);
    }
    EXPECT_EQ(inbound.requestCount(), 2u);

    // An "https" beat goes through the inbound too (CONNECT), not around it.
    const auto tls = client.heartbeatOnce("https://" + origin.hostPort() + "/generate_204", 2000);
    EXPECT_FALSE(tls.status);  // the origin speaks no TLS
    ASSERT_EQ(inbound.requestCount(), 3u);
    EXPECT_EQ(inbound.requests()[2].method, "CONNECT");
    EXPECT_EQ(inbound.requests()[2].target, origin.hostPort());

    inbound.stop();
    const auto gone = client.heartbeatOnce(origin.url("/generate_204"), 2000);
    EXPECT_FALSE(gone.status);
    EXPECT_FALSE(gone.rttMs);
}

TEST(ClashClient, PathFieldsDescribeTheNetworkPath) {
    EXPECT_EQ(ClashClient::pathFields(std::nullopt), json::object());
    NetworkPath path;
    path.status = NetworkPath::Status::satisfied;
    path.availableInterfaces = {{"wlan0", 4, NetworkPath::InterfaceType::wifi},
                                {"eth1", 2, NetworkPath::InterfaceType::wiredEthernet},
                                {"wwan0", 7, NetworkPath::InterfaceType::cellular},
                                {"lo", 1, NetworkPath::InterfaceType::loopback},
                                {"tun3", 12, NetworkPath::InterfaceType::other},
                                {"x0", 9, NetworkPath::InterfaceType::unknown}};
    path.isConstrained = true;
    EXPECT_EQ(ClashClient::pathFields(path),
              json({{"path_status", "satisfied"},
                    {"path_ifaces", "wlan0:4:wifi,eth1:2:ethernet,wwan0:7:cellular,lo:1:loopback,tun3:12:other,x0:9:unknown"},
                    {"path_expensive", false},
                    {"path_constrained", true}}));
    path.status = NetworkPath::Status::requiresConnection;
    path.availableInterfaces.clear();
    EXPECT_EQ(ClashClient::pathFields(path)["path_status"], "requiresConnection");
    EXPECT_EQ(ClashClient::pathFields(path)["path_ifaces"], "");
}
