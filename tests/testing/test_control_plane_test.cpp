#include "testing/test_control_plane.h"

#include <gtest/gtest.h>

#include <fstream>

#include "core/kavri_crypto.h"
#include "testing/test_pki.h"
#include "tests/support/temp_dir.h"

using namespace kavri;
using namespace std::chrono_literals;
using Reply = TestControlPlane::Reply;

namespace {

HttpSession trustingSession() {
    HttpSessionConfig config;
    config.caBundle = TestPki::shared().caFile();
    config.requestTimeout = 5000ms;
    return HttpSession(config);
}

HttpRequest get(const TestControlPlane& plane, const std::string& path) {
    HttpRequest r;
    r.url = plane.baseURL() + path;
    return r;
}

}  // namespace

TEST(TestControlPlane, RecordsRequestsWithHeadersInOrderAndBody) {
    TestControlPlane plane;
    plane.route("POST", "/echo/(\\w+)", [](const TestControlPlane::Request& r) {
        return Reply::json("{\"seen\":\"" + r.matches.at(1) + r.body + "\"}", 201);
    });
    HttpRequest post = get(plane, "/echo/abc?x=1");
    post.method = "POST";
    post.body = "-body";
    post.headers = {{"X-Zulu", "1"}, {"X-Alpha", "2"}, {"x-mixed-Case", "3"}};
    const auto reply = trustingSession().send(post);
    EXPECT_EQ(reply.status, 201);
    EXPECT_EQ(reply.body, R"({"seen":"abc-body"})");

    const auto seen = plane.requests();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].method, "POST");
    EXPECT_EQ(seen[0].target, "/echo/abc?x=1");
    EXPECT_EQ(seen[0].path, "/echo/abc");
    EXPECT_EQ(seen[0].body, "-body");
    std::vector<std::string> ours;
    for (const auto& [name, value] : seen[0].headers)
        if (name.starts_with("X-") || name.starts_with("x-")) ours.push_back(name + "=" + value);
    EXPECT_EQ(ours, (std::vector<std::string>{"X-Zulu=1", "X-Alpha=2", "x-mixed-Case=3"}));
}

TEST(TestControlPlane, ScriptedBehavioursReachTheClientAsTheirKindOfFailure) {
    TestControlPlane plane;

    struct Case {
        const char* name;
        Reply reply;
        std::optional<HttpError::Kind> error;  // none: a reply with this status
        int status;
    };
    const std::vector<Case> cases = {
        {"status", Reply::withStatus(503), std::nullopt, 503},
        {"close", Reply::close(), HttpError::Kind::Transport, 0},
        {"not HTTP", Reply::notHttp(), HttpError::Kind::NotHttp, 0},
        {"hang", Reply::hang(), HttpError::Kind::TimedOut, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        plane.script(c.reply);
        const auto before = plane.requestCount();
        HttpSessionConfig config;
        config.caBundle = TestPki::shared().caFile();
        config.requestTimeout = c.reply.kind == Reply::Kind::Hang ? 200ms : 5000ms;
        const HttpSession session(config);
        try {
            const auto reply = session.send(get(plane, "/anything"));
            EXPECT_FALSE(c.error);
            EXPECT_EQ(reply.status, c.status);
        } catch (const HttpError& e) {
            ASSERT_TRUE(c.error) << e.what();
            EXPECT_EQ(e.kind(), *c.error) << e.what();
        }
        EXPECT_EQ(plane.requestCount(), before + 1);  // every kind saw the request
    }
    // The script is used up: the route answers again (unknown path: 404).
    EXPECT_EQ(trustingSession().send(get(plane, "/anything")).status, 404);
}

TEST(TestControlPlane, ScriptsApplyOnlyToMatchingPaths) {
    TestControlPlane plane;
    plane.setSubscription("tok", std::string(R"({"a":1})"));
    plane.setSealing(TestControlPlane::Sealing::Plain);
    plane.scriptAlways(Reply::withStatus(500), "/telemetry.*");
    plane.script(Reply::withStatus(502), "/sub/.*");
    const auto session = trustingSession();
    EXPECT_EQ(session.send(get(plane, "/telemetry/x")).status, 500);
    EXPECT_EQ(session.send(get(plane, "/sub/tok")).status, 502);
    EXPECT_EQ(session.send(get(plane, "/sub/tok")).body, R"({"a":1})");
    EXPECT_EQ(session.send(get(plane, "/telemetry/x")).status, 500);
    plane.clearScript();
    EXPECT_EQ(session.send(get(plane, "/telemetry/x")).status, 404);
}

TEST(TestControlPlane, SubscriptionsAreSealedToTheRequestsKey) {
    TestControlPlane plane;
    const std::string body = R"({"outbounds":[],"_kavri_meta":{"state":"trial"}})";
    plane.setSubscription("tok", body);
    const auto session = trustingSession();

    const KavriCrypto::Session sealing;
    HttpRequest request = get(plane, "/sub/tok");
    request.headers = {{"X-Kavri-EphPub", sealing.ephPubBase64()}, {"X-Kavri-Nonce", sealing.nonceBase64()}};
    const auto sealed = session.send(request);
    EXPECT_EQ(sealed.status, 200);
    EXPECT_EQ(sealed.header("X-Kavri-Enc"), "1");
    EXPECT_NE(sealed.body, body);
    EXPECT_EQ(KavriCrypto::open(sealed.body, sealing, plane.sealingKey().publicKeyBase64()), body);

    plane.setSealing(TestControlPlane::Sealing::WrongKey);
    const auto wrong = session.send(request);
    EXPECT_EQ(wrong.header("X-Kavri-Enc"), "1");
    EXPECT_EQ(KavriCrypto::open(wrong.body, sealing, plane.sealingKey().publicKeyBase64()), std::nullopt);

    plane.setSealing(TestControlPlane::Sealing::Plain);
    const auto plain = session.send(request);
    EXPECT_EQ(plain.header("X-Kavri-Enc"), std::nullopt);
    EXPECT_EQ(plain.body, body);

    // Without the client's key there is nothing to seal to.
    plane.setSealing(TestControlPlane::Sealing::Sealed);
    EXPECT_EQ(session.send(get(plane, "/sub/tok")).body, body);
    EXPECT_EQ(session.send(get(plane, "/sub/other")).status, 401);
}

TEST(TestControlPlane, SubscriptionFilesAreReadPerRequestAndCannotEscapeTheirDirectory) {
    test::TempDir dir;
    std::filesystem::create_directory(dir / "subs");
    std::ofstream(dir / "subs" / "tok.json") << R"({"v":1})";
    std::ofstream(dir / "secret.json") << R"({"secret":true})";
    TestControlPlane plane;
    plane.setSealing(TestControlPlane::Sealing::Plain);
    plane.setSubscriptionDirectory(dir / "subs");
    const auto session = trustingSession();
    EXPECT_EQ(session.send(get(plane, "/sub/tok")).body, R"({"v":1})");
    std::ofstream(dir / "subs" / "tok.json") << R"({"v":2})";
    EXPECT_EQ(session.send(get(plane, "/sub/tok")).body, R"({"v":2})");
    EXPECT_EQ(session.send(get(plane, "/sub/..%2Fsecret")).status, 401);
}

TEST(TestControlPlane, DeploymentNamesThePlanesTheirKeyAndTheTestCA) {
    TestControlPlane a, b;
    const Deployment d = TestControlPlane::deploymentFor({&a, &b});
    ASSERT_EQ(d.hosts.size(), 2u);
    EXPECT_EQ(d.hosts[0].host, a.host());
    EXPECT_EQ(d.hosts[1].host, b.host());
    EXPECT_EQ(d.apiBaseURL, a.baseURL());
    EXPECT_EQ(d.serverPublicKey, SealingKey::development().publicKeyBase64());
    EXPECT_EQ(d.caBundle, TestPki::shared().caFile());
}

TEST(TestControlPlane, ServesRuleFilesAsScripted) {
    using RuleFile = TestControlPlane::RuleFile;
    TestControlPlane plane;
    struct Case {
        const char* name;
        RuleFile kind;
        int status;
        std::size_t size;
        bool srs;
    };
    const std::vector<Case> cases = {
        {"valid", RuleFile::Valid, 200, TestControlPlane::ruleFileBytes("a.srs", 2).size(), true},
        {"short", RuleFile::Short, 200, 7, true},
        {"not a rule set", RuleFile::NotRuleSet, 200, 27, false},
        {"error status", RuleFile::ErrorStatus, 500, 14, false},
    };
    const auto session = trustingSession();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        plane.setRuleFile("a.srs", c.kind, 2);
        const auto reply = session.send(get(plane, "/rules/a.srs"));
        EXPECT_EQ(reply.status, c.status);
        EXPECT_EQ(reply.body.size(), c.size);
        EXPECT_EQ(reply.body.starts_with("SRS"), c.srs);
    }
    EXPECT_NE(TestControlPlane::ruleFileBytes("a.srs", 1), TestControlPlane::ruleFileBytes("a.srs", 2));
    EXPECT_EQ(session.send(get(plane, "/rules/other.srs")).status, 404);

    plane.setRuleFile("a.srs", RuleFile::Hang);
    HttpSessionConfig config;
    config.caBundle = TestPki::shared().caFile();
    config.requestTimeout = 200ms;
    try {
        HttpSession(config).send(get(plane, "/rules/a.srs"));
        ADD_FAILURE() << "a hanging file answered";
    } catch (const HttpError& e) {
        EXPECT_EQ(e.kind(), HttpError::Kind::TimedOut);
    }
}

TEST(TestControlPlane, RecordsEveryTelemetryReport) {
    TestControlPlane plane;
    HttpRequest post = get(plane, "/telemetry");
    post.method = "POST";
    const auto session = trustingSession();
    for (const char* body : {R"({"report":"event"})", "not json"}) {
        post.body = body;
        EXPECT_EQ(session.send(post).status, 200);
    }
    const auto reports = plane.reports();
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[0], (nlohmann::json{{"report", "event"}}));
    EXPECT_TRUE(reports[1].is_discarded());
}
