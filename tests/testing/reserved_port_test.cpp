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

TEST(ReservedPort, LiveReservationsNeverShareAPortAndEachCanBeListenedOn) {
    // Drawn at random from some 22 000 ports, 300 would share one almost
    // always without the reservation.
    std::vector<std::unique_ptr<ReservedPort>> held;
    std::set<int> ports;
    for (int i = 0; i < 300; ++i) {
        held.push_back(std::make_unique<ReservedPort>());
        ports.insert(held.back()->port());
    }
    EXPECT_EQ(ports.size(), held.size());
    for (const int port : ports) {
        EXPECT_GT(port, 0);
        EXPECT_TRUE(canListenOn(port)) << port;
    }
}

TEST(ReservedPort, AnotherProcessIsNeverGivenAPortHeldHere) {
    std::vector<std::unique_ptr<ReservedPort>> held;
    std::set<int> mine;
    for (int i = 0; i < 300; ++i) {
        held.push_back(std::make_unique<ReservedPort>());
        mine.insert(held.back()->port());
    }
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(pipeFds[0]);
        std::vector<std::unique_ptr<ReservedPort>> theirs;
        for (int i = 0; i < 300; ++i) {
            theirs.push_back(std::make_unique<ReservedPort>());
            const int port = theirs.back()->port();
            if (::write(pipeFds[1], &port, sizeof port) != sizeof port) ::_exit(1);
        }
        ::_exit(0);
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
