#include <gtest/gtest.h>

#include <fstream>
#include <future>

#include "platform/network/netlink_path_monitor.h"
#include "tests/support/temp_dir.h"

using namespace kavri;
namespace fs = std::filesystem;

namespace {

void device(const fs::path& sys, const std::string& name, int index, const std::string& type, const std::string& state,
            bool wireless = false) {
    const fs::path d = sys / name;
    fs::create_directories(d);
    std::ofstream(d / "ifindex") << index << "\n";
    std::ofstream(d / "type") << type << "\n";
    std::ofstream(d / "operstate") << state << "\n";
    std::ofstream(d / "flags") << "0x1003\n";
    if (wireless) fs::create_directory(d / "wireless");
}

void routes(const fs::path& proc, const std::vector<std::string>& defaultVia) {
    fs::create_directories(proc);
    std::ofstream r(proc / "route");
    r << "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";
    r << "eth0\t0000A8C0\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0\n";
    for (const auto& iface : defaultVia) r << iface << "\t00000000\t0100A8C0\t0003\t0\t0\t600\t00000000\t0\t0\t0\n";
    std::ofstream(proc / "ipv6_route") << "";
}

std::vector<std::string> names(const NetworkPath& p) {
    std::vector<std::string> out;
    for (const auto& i : p.availableInterfaces) out.push_back(i.name);
    return out;
}

}  // namespace

TEST(NetlinkPathMonitor, DefaultRouteInterfaceComesFirst) {
    test::TempDir dir;
    const auto sys = dir / "sys", proc = dir / "proc";
    device(sys, "lo", 1, "772", "unknown");
    device(sys, "eth0", 2, "1", "up");
    device(sys, "wlan0", 3, "1", "up", true);
    device(sys, "eth1", 4, "1", "down");
    routes(proc, {"wlan0"});
    const auto path = NetlinkPathMonitor::readPath(sys, proc);
    EXPECT_EQ(path.status, NetworkPath::Status::satisfied);
    EXPECT_EQ(names(path), (std::vector<std::string>{"wlan0", "eth0"}));
    EXPECT_EQ(path.availableInterfaces[0].type, NetworkPath::InterfaceType::wifi);
    EXPECT_EQ(path.availableInterfaces[0].index, 3);
    EXPECT_EQ(path.availableInterfaces[1].type, NetworkPath::InterfaceType::wiredEthernet);
    EXPECT_FALSE(path.isExpensive);
    EXPECT_FALSE(path.isConstrained);
}

TEST(NetlinkPathMonitor, NoDefaultRouteIsUnsatisfied) {
    test::TempDir dir;
    const auto sys = dir / "sys", proc = dir / "proc";
    device(sys, "eth0", 2, "1", "up");
    routes(proc, {});
    const auto path = NetlinkPathMonitor::readPath(sys, proc);
    EXPECT_EQ(path.status, NetworkPath::Status::unsatisfied);
    EXPECT_TRUE(path.availableInterfaces.empty());
}

TEST(NetlinkPathMonitor, ReportsTheCurrentPathOnStartAndCancelsPromptly) {
    NetlinkPathMonitor monitor;
    std::promise<NetworkPath> first;
    std::atomic<bool> once{false};
    monitor.start([&](const NetworkPath& p) {
        if (!once.exchange(true)) first.set_value(p);
    });
    auto f = first.get_future();
    ASSERT_EQ(f.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(monitor.currentPath(), f.get());
    monitor.cancel();
}
