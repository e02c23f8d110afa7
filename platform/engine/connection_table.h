#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/engine/proxied_connection.h"

namespace kavri {

// The engine's live connections and its byte totals since start, in the
// shape of the clash controller's "connections" reply.
class ConnectionTable {
public:
    void add(std::shared_ptr<ProxiedConnection> connection);
    void remove(const ProxiedConnection& connection);

    void countUpload(ProxiedConnection& connection, std::uint64_t bytes);
    void countDownload(ProxiedConnection& connection, std::uint64_t bytes);

    // {"downloadTotal", "uploadTotal", "connections": [...], "memory"}.
    nlohmann::json toJson() const;
    std::size_t size() const;
    std::vector<std::shared_ptr<ProxiedConnection>> live() const;

    // Closes every live connection; returns how many.
    std::size_t closeAll();
    bool close(const std::string& id);

    std::uint64_t uploadTotal() const { return uploadTotal_; }
    std::uint64_t downloadTotal() const { return downloadTotal_; }

    // RFC 3339 UTC time with milliseconds, as the controller writes times.
    static std::string formatTime(Clock::WallTime t);

private:
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<ProxiedConnection>> live_;
    std::atomic<std::uint64_t> uploadTotal_{0};
    std::atomic<std::uint64_t> downloadTotal_{0};
};

}  // namespace kavri
