#include "platform/runtime/bounded_worker.h"

namespace kavri {

BoundedWorker::BoundedWorker(std::size_t threads, std::size_t capacity)
    : maxThreads_(threads == 0 ? 1 : threads), capacity_(capacity) {}

BoundedWorker::~BoundedWorker() { stop(); }

bool BoundedWorker::post(std::function<void(std::stop_token)> work) {
    {
        std::lock_guard lock(mutex_);
        if (stopped_ || queue_.size() >= capacity_) return false;
        queue_.push_back(std::move(work));
        // One more thread while all are busy, up to the limit.
        if (threads_.size() < maxThreads_ && busy_ + queue_.size() > threads_.size())
            threads_.emplace_back([this](std::stop_token stop) { run(stop); });
    }
    changed_.notify_all();
    return true;
}

void BoundedWorker::run(std::stop_token stop) {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [&] { return stop.stop_requested() || !queue_.empty(); });
        if (stop.stop_requested()) return;
        auto work = std::move(queue_.front());
        queue_.pop_front();
        ++busy_;
        lock.unlock();
        work(stop);
        lock.lock();
        --busy_;
        changed_.notify_all();
    }
}

void BoundedWorker::stop() {
    std::vector<std::jthread> threads;
    {
        std::lock_guard lock(mutex_);
        stopped_ = true;
        queue_.clear();
        threads = std::move(threads_);
        threads_.clear();
        for (auto& t : threads) t.request_stop();
    }
    changed_.notify_all();
    for (auto& t : threads) {
        if (!t.joinable()) continue;
        if (t.get_id() == std::this_thread::get_id())
            t.detach();
        else
            t.join();
    }
    std::lock_guard lock(mutex_);
    stopped_ = false;
}

bool BoundedWorker::drain(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return queue_.empty() && busy_ == 0; });
}

std::size_t BoundedWorker::threads() const {
    std::lock_guard lock(mutex_);
    return threads_.size();
}

}  // namespace kavri
