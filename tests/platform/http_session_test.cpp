#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "platform/http/http_session.h"
#include "platform/runtime/task.h"

using namespace kavri;
using namespace std::chrono_literals;

namespace {

// A plain HTTP server on a free loopback port, running until destroyed.
struct LocalServer {
    httplib::Server server;
    int port = 0;
    std::thread thread;
    void start() {
        port = server.bind_to_any_port("127.0.0.1");
        thread = std::thread([this] { server.listen_after_bind(); });
        while (!server.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ~LocalServer() {
        server.stop();
        if (thread.joinable()) thread.join();
    }
    std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port) + path; }
};

// A TCP listener that accepts and then does what the test says.
struct RawListener {
    int fd = -1;
    int port = 0;
    RawListener() {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        listen(fd, 8);
        socklen_t len = sizeof a;
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
    }
    ~RawListener() { close(fd); }
};

}  // namespace

TEST(HttpSession, SendsOrderedHeadersAndReadsReply) {
    LocalServer s;
    std::vector<std::string> seen;
    std::string body;
    s.server.Post("/echo", [&](const httplib::Request& req, httplib::Response& res) {
        for (const auto& [k, v] : req.headers)
            if (k.rfind("X-", 0) == 0) seen.push_back(k + "=" + v);
        body = req.body;
        res.status = 201;
        res.set_header("X-Reply", "yes");
        res.set_content("done", "text/plain");
    });
    s.start();
    HttpRequest r;
    r.method = "POST";
    r.url = s.url("/echo");
    r.headers = {{"X-B", "2"}, {"X-A", "1"}};
    r.setHeader("Content-Type", "application/json");
    r.body = R"({"k":1})";
    const auto reply = HttpSession().send(r);
    EXPECT_EQ(reply.status, 201);
    EXPECT_EQ(reply.body, "done");
    EXPECT_EQ(reply.header("x-reply").value_or(""), "yes");
    EXPECT_EQ(body, R"({"k":1})");
    EXPECT_EQ(seen.size(), 2u);
}

TEST(HttpSession, AHeaderWithALineBreakOrNulIsRefusedBeforeSending) {
    LocalServer s;
    int requests = 0;
    s.server.Get("/", [&](const httplib::Request&, httplib::Response& res) {
        ++requests;
        res.set_content("ok", "text/plain");
    });
    s.start();
    const std::vector<std::pair<std::string, std::string>> bad = {
        {"X-Device-Id", "abc\r\nX-Injected: 1"}, {"X-Device-Id", "abc\nX-Injected: 1"},
        {"X-Device-Id", "abc\rX"},               {"X-Device-Id", std::string("abc\0X", 5)},
        {"X-A\r\nX-Injected", "1"},              {"", "1"},
    };
    for (const auto& [name, value] : bad) {
        HttpRequest r;
        r.url = s.url("/");
        r.headers = {{name, value}};
        try {
            HttpSession().send(r);
            ADD_FAILURE() << "sent " << name;
        } catch (const HttpError& e) {
            EXPECT_EQ(e.kind(), HttpError::Kind::Transport);
        }
    }
    EXPECT_EQ(requests, 0);
    EXPECT_TRUE(HttpRequest::isHeaderText("ABC-123 with spaces\tand tabs"));
}

TEST(HttpSession, ErrorStatusesAreReplies) {
    LocalServer s;
    s.server.Get("/gone", [](const httplib::Request&, httplib::Response& res) { res.status = 503; });
    s.start();
    HttpRequest r;
    r.url = s.url("/gone");
    EXPECT_EQ(HttpSession().send(r).status, 503);
}

TEST(HttpSession, ReplyLongerThanTheLimitFailsWhetherItsLengthIsAnnouncedOrNot) {
    LocalServer s;
    const std::string big(64 * 1024, 'x');
    s.server.Get("/announced",
                 [&](const httplib::Request&, httplib::Response& res) { res.set_content(big, "text/plain"); });
    s.server.Get("/chunked", [&](const httplib::Request&, httplib::Response& res) {
        res.set_chunked_content_provider("text/plain", [&](size_t, httplib::DataSink& sink) {
            sink.write(big.data(), big.size());
            sink.done();
            return true;
        });
    });
    s.start();
    for (const char* path : {"/announced", "/chunked"}) {
        HttpRequest r;
        r.url = s.url(path);
        r.maxBodyBytes = big.size();
        EXPECT_EQ(HttpSession().send(r).body.size(), big.size()) << path;  // exactly the limit is fine
        r.maxBodyBytes = big.size() - 1;
        try {
            HttpSession().send(r);
            ADD_FAILURE() << path << " was read whole";
        } catch (const HttpError& e) {
            EXPECT_EQ(e.kind(), HttpError::Kind::Transport) << path;
            EXPECT_EQ(e.curlCode(), 63 /* CURLE_FILESIZE_EXCEEDED */) << path;
        }
    }
}

TEST(HttpSession, RefusedConnectionIsTransportError) {
    RawListener closed;
    const int port = closed.port;
    close(closed.fd);
    closed.fd = -1;
    HttpRequest r;
    r.url = "http://127.0.0.1:" + std::to_string(port) + "/";
    try {
        HttpSession().send(r);
        FAIL();
    } catch (const HttpError& e) {
        EXPECT_EQ(e.kind(), HttpError::Kind::Transport);
    }
}

TEST(HttpSession, SilentPeerTimesOutAfterRequestLimit) {
    RawListener hang;  // accepts into the backlog, never answers
    HttpRequest r;
    r.url = "http://127.0.0.1:" + std::to_string(hang.port) + "/";
    r.timeout = 150ms;
    const auto start = std::chrono::steady_clock::now();
    try {
        HttpSession().send(r);
        FAIL();
    } catch (const HttpError& e) {
        EXPECT_EQ(e.kind(), HttpError::Kind::TimedOut);
    }
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, 140ms);
    EXPECT_LT(took, 2s);
}

TEST(HttpSession, GarbageReplyIsNotHttp) {
    RawListener l;
    std::thread peer([&] {
        int c = accept(l.fd, nullptr, nullptr);
        char buf[512];
        (void)!read(c, buf, sizeof buf);
        const char junk[] = "SSH-2.0-OpenSSH_9.2\r\nnot http at all\r\n\r\n";
        (void)!write(c, junk, sizeof junk - 1);
        close(c);
    });
    HttpRequest r;
    r.url = "http://127.0.0.1:" + std::to_string(l.port) + "/";
    try {
        HttpSession().send(r);
        FAIL();
    } catch (const HttpError& e) {
        EXPECT_TRUE(e.kind() == HttpError::Kind::NotHttp || e.kind() == HttpError::Kind::Transport);
    }
    peer.join();
}

TEST(HttpSession, StopTokenCancelsAWaitingRequest) {
    RawListener hang;
    std::atomic<int> kind{-1};
    Task t([&](std::stop_token st) {
        HttpRequest r;
        r.url = "http://127.0.0.1:" + std::to_string(hang.port) + "/";
        try {
            HttpSession().send(r, st);
        } catch (const HttpError& e) {
            kind = static_cast<int>(e.kind());
        }
    });
    std::this_thread::sleep_for(50ms);
    const auto start = std::chrono::steady_clock::now();
    t.cancelAndJoin();
    EXPECT_EQ(kind, static_cast<int>(HttpError::Kind::Cancelled));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
}

TEST(HttpSession, PercentEncodingKeepsOnlyLettersAndDigits) {
    EXPECT_EQ(percentEncodeAlnum("Proxy Group/1"), "Proxy%20Group%2F1");
    EXPECT_EQ(percentEncodeAlnum("a-b_c.d~"), "a%2Db%5Fc%2Ed%7E");
    EXPECT_EQ(percentEncodeAlnum("é"), "%C3%A9");

    // A path segment keeps the unreserved characters as they are.
    EXPECT_EQ(percentEncodePathSegment("a-b_c.d~Z9"), "a-b_c.d~Z9");
    EXPECT_EQ(percentEncodePathSegment("t/../x?y#z %"), "t%2F..%2Fx%3Fy%23z%20%25");
    EXPECT_EQ(percentEncodePathSegment("é+"), "%C3%A9%2B");
    EXPECT_EQ(percentEncodePathSegment(".."), "%2E%2E");
    EXPECT_EQ(percentEncodePathSegment("."), "%2E");
    EXPECT_EQ(percentEncodePathSegment("..."), "...");
}
