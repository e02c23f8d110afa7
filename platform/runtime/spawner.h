#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <stop_token>
#include <thread>

namespace kavri {

// Runs fire-and-forget work (a report, a probe) on threads of its own. Tests
// wait for the work to finish with drain(); destruction stops and joins all.
class Spawner {
public:
    Spawner() = default;
    Spawner(const Spawner&) = delete;
    Spawner& operator=(const Spawner&) = delete;
    ~Spawner();

    // Starts `work` on a thread of its own; false (and nothing started)
    // while stopAll() is under way.
    bool spawn(std::function<void(std::stop_token)> work);
    bool spawn(std::function<void()> work);

    // Waits until no spawned work is running. Returns false on time-out.
    bool drain(std::chrono::milliseconds timeout = std::chrono::seconds(30));
    // Requests stop on all running work and joins it; work offered meanwhile
    // is refused.
    void stopAll();
    std::size_t running() const;

private:
    struct Entry {
        std::jthread thread;
        bool done = false;
    };
    void reapLocked();

    mutable std::mutex mutex_;
    std::condition_variable idle_;
    std::list<Entry> entries_;
    std::size_t running_ = 0;
    int stopping_ = 0;
};

}  // namespace kavri
