#include "app/runtime/manual_executor.h"

namespace kavri {

ManualExecutor::ManualExecutor() : mainThread_(std::this_thread::get_id()) {}

ManualExecutor::~ManualExecutor() { shutdown(); }

void ManualExecutor::post(std::function<void()> work) {
    {
        std::lock_guard lock(mutex_);
        if (stopped_) return;
        queue_.push_back(std::move(work));
    }
    queued_.notify_all();
}

bool ManualExecutor::isMainThread() const { return std::this_thread::get_id() == mainThread_; }

bool ManualExecutor::runOne() {
    std::function<void()> job;
    {
        std::lock_guard lock(mutex_);
        if (queue_.empty()) return false;
        job = std::move(queue_.front());
        queue_.pop_front();
    }
    job();
    return true;
}

int ManualExecutor::runUntilIdle() {
    int ran = 0;
    while (runOne()) ++ran;
    return ran;
}

bool ManualExecutor::runUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (runOne()) continue;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        // `done` may also turn true on another thread: look again soon.
        std::unique_lock lock(mutex_);
        if (stopped_) return done();
        queued_.wait_for(lock, std::chrono::milliseconds(2), [&] { return !queue_.empty() || stopped_; });
    }
    return true;
}

void ManualExecutor::shutdown() {
    std::deque<std::function<void()>> dropped;
    {
        std::lock_guard lock(mutex_);
        stopped_ = true;
        dropped.swap(queue_);
    }
    queued_.notify_all();
    // `dropped` is destroyed here, outside the lock: waiting invokes wake.
}

std::size_t ManualExecutor::pending() const {
    std::lock_guard lock(mutex_);
    return queue_.size();
}

}  // namespace kavri
