#pragma once

#include <mutex>

#include "platform/network/path_monitor.h"

namespace kavri {

// A path monitor that reports the paths a test pushes, on the pushing thread.
class FakePathMonitor final : public PathMonitor {
public:
    void start(Handler handler) override {
        std::lock_guard lock(mutex_);
        handler_ = std::move(handler);
        started_ = true;
    }
    void cancel() override {
        std::lock_guard lock(mutex_);
        handler_ = nullptr;
        cancelled_ = true;
    }
    std::optional<NetworkPath> currentPath() const override {
        std::lock_guard lock(mutex_);
        return current_;
    }
    void push(const NetworkPath& path) {
        Handler h;
        {
            std::lock_guard lock(mutex_);
            current_ = path;
            h = handler_;
        }
        if (h) h(path);
    }
    bool started() const {
        std::lock_guard lock(mutex_);
        return started_;
    }
    bool cancelled() const {
        std::lock_guard lock(mutex_);
        return cancelled_;
    }

private:
    mutable std::mutex mutex_;
    Handler handler_;
    std::optional<NetworkPath> current_;
    bool started_ = false;
    bool cancelled_ = false;
};

}  // namespace kavri
