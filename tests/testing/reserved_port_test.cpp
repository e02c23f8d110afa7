// Ports handed to servers that other processes bind later: tests running
// side by side must never be given the same one.
#include "testing/reserved_port.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <set>
#include <vector>

namespace kavri {
namespace {

bool canListenOn(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && ::listen(fd, 1) == 0;
    ::close(fd);
    return ok;
}

// 300 reservations held at once, and their ports. Drawn at random from some
// 22 000 ports, 300 would share one almost always without the reservation.
struct Held {
    std::vector<std::unique_ptr<ReservedPort>> reservations;
    std::set<int> ports;
    Held() {
        for (int i = 0; i < 300; ++i) {
            reservations.push_back(std::make_unique<ReservedPort>());
            ports.insert(reservations.back()->port());
        }
    }
};

TEST(ReservedPort, LiveReservationsNeverShareAPortAndEachCanBeListenedOn) {
    const Held held;
    const auto& ports = held.ports;
    EXPECT_EQ(ports.size(), held.reservations.size());
    for (const int port : ports) {
        EXPECT_GT(port, 0);
        EXPECT_TRUE(canListenOn(port)) << port;
    }
}

TEST(ReservedPort, AnotherProcessIsNeverGivenAPortHeldHere) {
    const Held held;
    const auto& mine = held.ports;
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(pipeFds[0]);
        const Held theirs;
        for (const int port : theirs.ports)
            if (::write(pipeFds[1], &port, sizeof port) != sizeof port) ::_exit(1);
        ::_exit(theirs.ports.size() == 300 ? 0 : 1);
    }
    ::close(pipeFds[1]);
    int port = 0, received = 0;
    while (::read(pipeFds[0], &port, sizeof port) == sizeof port) {
        ++received;
        EXPECT_FALSE(mine.contains(port)) << port;
    }
    ::close(pipeFds[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(received, 300);
}

}  // namespace
}  // namespace kavri
