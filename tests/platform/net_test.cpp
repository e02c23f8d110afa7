#include <gtest/gtest.h>

#include "platform/net/endpoint.h"
#include "platform/net/proxy_request_head.h"

using namespace kavri;

TEST(Endpoint, ParsesHostAndPort) {
    struct Case {
        std::string text;
        std::uint16_t defaultPort;
        std::optional<Endpoint> expected;
    } cases[] = {
        {"127.0.0.1:9090", 0, Endpoint{"127.0.0.1", 9090}},
        {"example.test:0", 0, Endpoint{"example.test", 0}},
        {"[::1]:443", 0, Endpoint{"::1", 443}},
        {"example.test", 80, Endpoint{"example.test", 80}},
        {"example.test", 0, std::nullopt},
        {"example.test:", 0, std::nullopt},
        {"example.test:65536", 0, std::nullopt},
        {"example.test:8o", 0, std::nullopt},
        {":80", 0, std::nullopt},
        {"::1:80", 0, std::nullopt},
        {"[not-v6]:80", 0, std::nullopt},
        {"user@example.test:80", 0, std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(Endpoint::parse(c.text, c.defaultPort), c.expected) << c.text;
    EXPECT_EQ((Endpoint{"::1", 443}.text()), "[::1]:443");
    EXPECT_TRUE(Endpoint::isLoopbackAddress("127.9.8.7"));
    EXPECT_FALSE(Endpoint::isLoopbackAddress("128.0.0.1"));
    EXPECT_FALSE(Endpoint::isLoopbackAddress("localhost"));
}

TEST(ProxyRequestHead, FindsTheDestinationAndForwardsOneRequest) {
    struct Case {
        std::string head;
        std::optional<Endpoint> destination;
        std::string originForm;
    } cases[] = {
        {"CONNECT example.test:443 HTTP/1.1\r\nHost: example.test:443\r\n", Endpoint{"example.test", 443}, ""},
        {"GET http://example.test/a?b=1 HTTP/1.1\r\nHost: example.test\r\n", Endpoint{"example.test", 80},
         "GET /a?b=1 HTTP/1.1"},
        {"GET http://127.0.0.1:8080 HTTP/1.0\r\n", Endpoint{"127.0.0.1", 8080}, "GET / HTTP/1.0"},
        {"GET /relative HTTP/1.1\r\nHost: example.test\r\n", std::nullopt, "GET /relative HTTP/1.1"},
        {"GET ftp://example.test/ HTTP/1.1\r\n", std::nullopt, "GET ftp://example.test/ HTTP/1.1"},
    };
    for (const auto& c : cases) {
        const auto head = ProxyRequestHead::parse(c.head);
        ASSERT_TRUE(head) << c.head;
        EXPECT_EQ(head->destination(), c.destination) << c.head;
        if (!c.originForm.empty()) {
            EXPECT_EQ(head->forward(false).substr(0, c.originForm.size()), c.originForm);
        }
    }
    for (const char* bad : {"GET\r\n", "GET http://a/ FTP/1\r\n", "GET http://a/ HTTP/1.1\r\nno colon\r\n"})
        EXPECT_FALSE(ProxyRequestHead::parse(bad)) << bad;

    auto head = ProxyRequestHead::parse(
        "POST http://example.test/up HTTP/1.1\r\nHost: example.test\r\nProxy-Connection: keep-alive\r\n"
        "Proxy-Authorization: Basic eDp5\r\nConnection: keep-alive\r\nContent-Length: 2\r\n");
    ASSERT_TRUE(head);
    head->body = "hi";
    EXPECT_EQ(head->forward(false),
              "POST /up HTTP/1.1\r\nHost: example.test\r\nContent-Length: 2\r\nConnection: close\r\n\r\nhi");
    EXPECT_EQ(head->forward(true).substr(0, 37), "POST http://example.test/up HTTP/1.1\r");
}
