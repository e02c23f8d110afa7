// The failover walk over real HTTPS hosts on loopback.
#include <gtest/gtest.h>
#include <httplib.h>

#include <thread>

#include "core/control_plane.h"
#include "core/deployment.h"
#include "core/kavri_http.h"
#include "testing/test_pki.h"
#include "tests/support/temp_dir.h"

using namespace kavri;

namespace {

struct HttpsHost {
    httplib::SSLServer server{TestPki::shared().certFile().c_str(), TestPki::shared().keyFile().c_str()};
    int port = 0;
    std::thread thread;
    explicit HttpsHost(int status) {
        server.Get("/ping", [status](const httplib::Request&, httplib::Response& res) {
            res.status = status;
            res.set_content(status == 200 ? "pong" : "busy", "text/plain");
        });
        port = server.bind_to_any_port("127.0.0.1");
        thread = std::thread([this] { server.listen_after_bind(); });
    }
    ~HttpsHost() {
        server.stop();
        thread.join();
    }
};

int closedPort() {
    httplib::Server s;
    return s.bind_to_any_port("127.0.0.1");  // closed again when `s` goes
}

}  // namespace

TEST(ControlPlaneOverHttps, RefusingAndBusyHostsAreSkipped) {
    HttpsHost busy(503), good(200);
    const int refused = closedPort();
    Deployment d = Deployment::builtIn();
    d.hosts = {{"127.0.0.1:" + std::to_string(refused), {}},
               {"127.0.0.1:" + std::to_string(busy.port), {}},
               {"localhost:" + std::to_string(good.port), {}}};
    d.caBundle = TestPki::shared().caFile();
    Deployment::install(d);

    test::TempDir dir;
    KavriStore store(dir.path());
    std::vector<std::string> outcomes;
    const std::string body = ControlPlane::withFailover(
        60,
        [&](const std::string& base) {
            HttpRequest request;
            request.url = base + "/ping";
            try {
                const auto reply = KavriHTTP::apiSession(2).send(request);
                outcomes.push_back(std::to_string(reply.status));
                if (reply.status != 200) throw ControlPlane::RetryNextHost();
                return reply.body;
            } catch (const HttpError&) {
                outcomes.push_back("transport");
                throw ControlPlane::RetryNextHost(std::current_exception());
            }
        },
        Clock::system(), store);

    EXPECT_EQ(body, "pong");
    EXPECT_EQ(outcomes, (std::vector<std::string>{"transport", "503", "200"}));
    EXPECT_EQ(store.string("cp_last_good_host").value(), "localhost:" + std::to_string(good.port));
    EXPECT_EQ(ControlPlane::orderedHosts(store).front().host, "localhost:" + std::to_string(good.port));
}
