// The connect-time probe against listeners on loopback: one that accepts,
// a closed port, and one whose accept queue is full so that it drops new
// connection attempts silently.
#include "platform/network/tcp_probe.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>
#include <vector>

#include "tests/support/loopback_port.h"

using namespace kavri;
using namespace std::chrono_literals;

namespace {

using Steady = std::chrono::steady_clock;

using test::LoopbackPort;

// Connects without waiting for the handshake; the caller closes.
int connectNoWait(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    return fd;
}

}  // namespace

TEST(TcpProbe, MeasuresAnAcceptingHostAndFailsFastOnAClosedPort) {
    LoopbackPort open(16);
    LoopbackPort closed(-1);  // bound, never listening: refuses
    struct Case {
        std::string host;
        std::uint16_t port;
        bool answers;
    };
    const std::vector<Case> cases = {
        {"127.0.0.1", open.port, true},
        {"localhost", open.port, true},  // a name; its other addresses may refuse first
        {"127.0.0.1", closed.port, false},
        {"127.0.0.1", 0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.host + ":" + std::to_string(c.port));
        const auto started = Steady::now();
        const auto ms = TcpProbe::connectMillis(c.host, c.port, 1500ms);
        const auto took = Steady::now() - started;
        EXPECT_EQ(ms.has_value(), c.answers);
        if (ms) {
            EXPECT_GE(*ms, 0);
        }
        EXPECT_LT(took, 1000ms);  // a refusal is no time-out
    }
}

TEST(TcpProbe, AHostThatDropsTheHandshakeFailsAtTheLimit) {
    LoopbackPort full(0);
    // Fill the accept queue; later handshakes are dropped without a word.
    std::vector<int> queued;
    for (int i = 0; i < 3; ++i) queued.push_back(connectNoWait(full.port));
    std::this_thread::sleep_for(20ms);

    const auto started = Steady::now();
    EXPECT_EQ(TcpProbe::connectMillis("127.0.0.1", full.port, 150ms), std::nullopt);
    const auto took = Steady::now() - started;
    EXPECT_GE(took, 150ms);
    EXPECT_LT(took, 1000ms);

    // A stop ends the wait at once.
    std::stop_source stop;
    std::thread stopper([&] {
        std::this_thread::sleep_for(30ms);
        stop.request_stop();
    });
    const auto again = Steady::now();
    EXPECT_EQ(TcpProbe::connectMillis("127.0.0.1", full.port, 5000ms, stop.get_token()), std::nullopt);
    EXPECT_LT(Steady::now() - again, 1000ms);
    stopper.join();
    for (int fd : queued) ::close(fd);
}
