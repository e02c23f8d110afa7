#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <stop_token>
#include <thread>
#include <vector>

namespace kavri {

// A few threads that run queued fire-and-forget work (reports) in order. The
// queue holds at most `capacity` items: what does not fit is refused, so a
// backlog (a control plane that never answers) costs neither threads nor
// memory. The threads start with the first work.
class BoundedWorker {
public:
    BoundedWorker(std::size_t threads, std::size_t capacity);
    ~BoundedWorker();
    BoundedWorker(const BoundedWorker&) = delete;
    BoundedWorker& operator=(const BoundedWorker&) = delete;

    // Queues `work`; false when the queue is full or a stop is under way.
    bool post(std::function<void(std::stop_token)> work);
    // Drops what waits, cancels what runs and waits for it (never call it
    // from the work itself); work offered meanwhile is refused, later work
    // is taken again.
    void stop();
    // Waits until nothing waits or runs. False on time-out.
    bool drain(std::chrono::milliseconds timeout = std::chrono::seconds(30));
    // Threads started so far.
    std::size_t threads() const;

private:
    void run(std::stop_token stop);

    const std::size_t maxThreads_;
    const std::size_t capacity_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::function<void(std::stop_token)>> queue_;
    std::size_t busy_ = 0;
    bool stopped_ = false;
    std::vector<std::jthread> threads_;
};

}  // namespace kavri
