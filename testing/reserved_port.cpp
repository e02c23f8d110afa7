#include "testing/reserved_port.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <string>

namespace kavri {
namespace {

// The port if a socket can bind it now (0: any free one) and nothing holds it.
int bindable(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return 0;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return ok ? static_cast<int>(ntohs(a.sin_port)) : 0;
}

// The lock on `port`'s file, or -1 when another holder has it. Without a
// usable folder every port counts as unreserved.
int lockPort(int port) {
    std::error_code ec;
    const auto folder = std::filesystem::temp_directory_path(ec) / "kavri-test-ports";
    if (ec) return -2;
    // Every user's test processes share the folder; its creator opens it to all.
    if (std::filesystem::create_directories(folder, ec))
        std::filesystem::permissions(folder, std::filesystem::perms::all | std::filesystem::perms::sticky_bit, ec);
    const auto file = folder / std::to_string(port);
    const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return -2;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

ReservedPort::ReservedPort() {
    int ephemeralLow = 32768;
    std::ifstream("/proc/sys/net/ipv4/ip_local_port_range") >> ephemeralLow;
    constexpr int lowest = 10000;
    if (ephemeralLow - lowest >= 1000) {
        static std::mt19937 random{std::random_device{}()};
        static std::mutex m;
        std::uniform_int_distribution<int> pick(lowest, ephemeralLow - 1);
        for (int attempt = 0; attempt < 200; ++attempt) {
            int candidate;
            {
                std::lock_guard lock(m);
                candidate = pick(random);
            }
            const int fd = lockPort(candidate);
            if (fd == -1) continue;  // another process's
            // Checked while reserved: a port freed after the check stays ours.
            if (bindable(candidate)) {
                port_ = candidate;
                lockFd_ = fd;
                return;
            }
            if (fd >= 0) ::close(fd);
        }
    }
    port_ = bindable(0);
}

ReservedPort::~ReservedPort() {
    if (lockFd_ >= 0) ::close(lockFd_);
}

}  // namespace kavri
