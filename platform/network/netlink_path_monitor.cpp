#include "platform/network/netlink_path_monitor.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>

namespace kavri {
namespace fs = std::filesystem;

namespace {

std::string readFirstLine(const fs::path& p) {
    std::ifstream in(p);
    std::string line;
    std::getline(in, line);
    return line;
}

NetworkPath::InterfaceType typeOf(const fs::path& dev) {
    std::error_code ec;
    if (fs::exists(dev / "wireless", ec) || fs::exists(dev / "phy80211", ec)) return NetworkPath::InterfaceType::wifi;
    std::ifstream uevent(dev / "uevent");
    for (std::string line; std::getline(uevent, line);) {
        if (line == "DEVTYPE=wlan") return NetworkPath::InterfaceType::wifi;
        if (line == "DEVTYPE=wwan") return NetworkPath::InterfaceType::cellular;
    }
    const std::string type = readFirstLine(dev / "type");
    if (type == "772") return NetworkPath::InterfaceType::loopback;  // ARPHRD_LOOPBACK
    if (type == "1" && !fs::exists(dev / "bridge", ec) && !fs::exists(dev / "tun_flags", ec))
        return NetworkPath::InterfaceType::wiredEthernet;  // ARPHRD_ETHER, a real port
    return NetworkPath::InterfaceType::other;
}

bool isUp(const fs::path& dev) {
    const std::string state = readFirstLine(dev / "operstate");
    if (state == "up") return true;
    if (state != "unknown") return false;  // "unknown": drivers that do not report, go by the flags
    unsigned long flags = std::strtoul(readFirstLine(dev / "flags").c_str(), nullptr, 16);
    return (flags & IFF_UP) && (flags & IFF_RUNNING);
}

// Interfaces that carry a default route (IPv4 first, then IPv6), in the
// kernel's order.
std::vector<std::string> defaultRouteInterfaces(const fs::path& procfs) {
    std::vector<std::string> out;
    auto add = [&](const std::string& name) {
        if (std::find(out.begin(), out.end(), name) == out.end()) out.push_back(name);
    };
    std::ifstream v4(procfs / "route");
    std::string line;
    std::getline(v4, line);  // header
    while (std::getline(v4, line)) {
        std::istringstream f(line);
        std::string iface, dest, gateway, flags, refcnt, use, metric, mask;
        if (f >> iface >> dest >> gateway >> flags >> refcnt >> use >> metric >> mask)
            if (dest == "00000000" && mask == "00000000") add(iface);
    }
    std::ifstream v6(procfs / "ipv6_route");
    while (std::getline(v6, line)) {
        std::istringstream f(line);
        std::string dest, destLen, src, srcLen, next, metric, refcnt, use, flags, iface;
        if (f >> dest >> destLen >> src >> srcLen >> next >> metric >> refcnt >> use >> flags >> iface)
            if (dest == std::string(32, '0') && destLen == "00" && iface != "lo") add(iface);
    }
    return out;
}

}  // namespace

NetworkPath NetlinkPathMonitor::readPath(const fs::path& sysfs, const fs::path& procfs) {
    NetworkPath path;
    const auto routed = defaultRouteInterfaces(procfs);
    std::vector<NetworkPath::Interface> up;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(sysfs, ec)) {
        const fs::path dev = entry.path();
        if (!isUp(dev)) continue;
        NetworkPath::Interface iface;
        iface.name = dev.filename().string();
        iface.index = std::atoi(readFirstLine(dev / "ifindex").c_str());
        iface.type = typeOf(dev);
        if (iface.type == NetworkPath::InterfaceType::loopback) continue;
        up.push_back(std::move(iface));
    }
    // Interfaces with a default route first (in route order), then the rest by index.
    auto rank = [&](const NetworkPath::Interface& i) {
        const auto it = std::find(routed.begin(), routed.end(), i.name);
        return it == routed.end() ? routed.size() : static_cast<std::size_t>(it - routed.begin());
    };
    std::sort(up.begin(), up.end(), [&](const auto& a, const auto& b) {
        return std::make_pair(rank(a), a.index) < std::make_pair(rank(b), b.index);
    });
    const bool hasRoute = !up.empty() && rank(up.front()) < routed.size();
    path.status = hasRoute ? NetworkPath::Status::satisfied : NetworkPath::Status::unsatisfied;
    if (hasRoute) {
        path.availableInterfaces = std::move(up);
    }
    return path;
}

NetlinkPathMonitor::NetlinkPathMonitor() = default;

NetlinkPathMonitor::~NetlinkPathMonitor() { cancel(); }

void NetlinkPathMonitor::start(Handler handler) {
    handler_ = std::move(handler);
    netlinkFd_ = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
    if (netlinkFd_ >= 0) {
        sockaddr_nl addr{};
        addr.nl_family = AF_NETLINK;
        addr.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR | RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE;
        if (::bind(netlinkFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            ::close(netlinkFd_);
            netlinkFd_ = -1;
        }
    }
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    thread_ = std::thread([this] { run(); });
}

void NetlinkPathMonitor::cancel() {
    if (cancelled_.exchange(true)) return;
    if (wakeFd_ >= 0) {
        const std::uint64_t one = 1;
        (void)!::write(wakeFd_, &one, sizeof one);
    }
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
    if (thread_.joinable()) thread_.detach();
    if (netlinkFd_ >= 0) ::close(netlinkFd_);
    if (wakeFd_ >= 0) ::close(wakeFd_);
    netlinkFd_ = wakeFd_ = -1;
}

std::optional<NetworkPath> NetlinkPathMonitor::currentPath() const {
    std::lock_guard lock(mutex_);
    return current_;
}

void NetlinkPathMonitor::report() {
    NetworkPath path = readPath();
    {
        std::lock_guard lock(mutex_);
        if (current_ && *current_ == path) return;
        current_ = path;
    }
    if (!cancelled_ && handler_) handler_(path);
}

void NetlinkPathMonitor::run() {
    report();
    char buf[16384];
    while (!cancelled_) {
        pollfd fds[2] = {{wakeFd_, POLLIN, 0}, {netlinkFd_, POLLIN, 0}};
        const int nfds = netlinkFd_ >= 0 ? 2 : 1;
        if (::poll(fds, static_cast<nfds_t>(nfds), -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (cancelled_ || (fds[0].revents & POLLIN)) return;
        if (nfds == 2 && (fds[1].revents & (POLLIN | POLLERR))) {
            // Drain the whole burst of notifications, then look once.
            while (::recv(netlinkFd_, buf, sizeof buf, 0) > 0 || errno == ENOBUFS) {
            }
            report();
        }
    }
}

}  // namespace kavri
