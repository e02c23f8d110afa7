#pragma once

#include <atomic>
#include <filesystem>
#include <mutex>
#include <thread>

#include "platform/network/path_monitor.h"

namespace kavri {

// The path monitor of a Linux machine: rtnetlink notifications of links,
// addresses and routes wake it (no polling); it then reads the interfaces
// and the default routes and reports the path when it changed.
class NetlinkPathMonitor final : public PathMonitor {
public:
    NetlinkPathMonitor();
    ~NetlinkPathMonitor() override;
    void start(Handler handler) override;
    void cancel() override;
    std::optional<NetworkPath> currentPath() const override;

    // The path as the machine has it now. `sysfs` and `procfs` name the roots
    // read (tests point them at fixtures).
    static NetworkPath readPath(const std::filesystem::path& sysfs = "/sys/class/net",
                                const std::filesystem::path& procfs = "/proc/net");

private:
    void run();
    void report();

    Handler handler_;
    int netlinkFd_ = -1;
    int wakeFd_ = -1;
    std::thread thread_;
    std::atomic<bool> cancelled_{false};
    mutable std::mutex mutex_;
    std::optional<NetworkPath> current_;
};

}  // namespace kavri
