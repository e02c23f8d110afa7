#include "testing/test_pki.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <filesystem>
#include <thread>

#include "platform/http/http_session.h"

using namespace kavri;

namespace {

struct TlsServer {
    httplib::SSLServer server{TestPki::shared().certFile().c_str(), TestPki::shared().keyFile().c_str()};
    int port = 0;
    std::thread thread;
    TlsServer() {
        server.Get("/hello", [](const httplib::Request&, httplib::Response& res) { res.set_content("hi", "text/plain"); });
        port = server.bind_to_any_port("127.0.0.1");
        thread = std::thread([this] { server.listen_after_bind(); });
        while (!server.is_running()) std::this_thread::yield();
    }
    ~TlsServer() {
        server.stop();
        thread.join();
    }
};

}  // namespace

TEST(TestPki, FilesExistOnceForTheProcess) {
    const TestPki& pki = TestPki::shared();
    EXPECT_EQ(&pki, &TestPki::shared());
    for (const auto& f : {pki.caFile(), pki.certFile(), pki.keyFile()}) {
        EXPECT_TRUE(std::filesystem::is_regular_file(f)) << f;
        EXPECT_EQ(std::filesystem::path(f).parent_path(), pki.directory());
    }
    EXPECT_EQ(std::filesystem::path(pki.caFile()).filename(), "ca.pem");
    EXPECT_EQ(std::filesystem::path(pki.certFile()).filename(), "server.pem");
    EXPECT_EQ(std::filesystem::path(pki.keyFile()).filename(), "server.key");
}

TEST(TestPki, ServerCertificateVerifiesForBothNamesAgainstTheCA) {
    TlsServer s;
    ASSERT_TRUE(s.server.is_valid());
    HttpSessionConfig config;
    config.caBundle = TestPki::shared().caFile();
    HttpSession trusting(config);
    auto get = [&](const std::string& host) {
        HttpRequest request;
        request.url = "https://" + host + ":" + std::to_string(s.port) + "/hello";
        return request;
    };
    for (const std::string host : {"127.0.0.1", "localhost"}) {
        const auto reply = trusting.send(get(host));
        EXPECT_EQ(reply.status, 200) << host;
        EXPECT_EQ(reply.body, "hi") << host;
    }
    // Without the test CA the certificate is not trusted.
    HttpSession system;
    EXPECT_THROW(system.send(get("127.0.0.1")), HttpError);
}
