#include "platform/runtime/spawner.h"

namespace kavri {

Spawner::~Spawner() { stopAll(); }

bool Spawner::spawn(std::function<void()> work) {
    return spawn([work = std::move(work)](std::stop_token) { work(); });
}

bool Spawner::spawn(std::function<void(std::stop_token)> work) {
    std::lock_guard lock(mutex_);
    if (stopping_ > 0) return false;
    reapLocked();
    entries_.emplace_back();
    Entry* entry = &entries_.back();
    ++running_;
    entry->thread = std::jthread([this, entry, work = std::move(work)](std::stop_token stop) {
        work(stop);
        std::lock_guard inner(mutex_);
        entry->done = true;
        --running_;
        idle_.notify_all();
    });
    return true;
}

void Spawner::reapLocked() {
    for (auto it = entries_.begin(); it != entries_.end();) {
        if (it->done && it->thread.get_id() != std::this_thread::get_id()) {
            it->thread.join();
            it = entries_.erase(it);
        } else {
            ++it;
        }
    }
}

bool Spawner::drain(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    const bool ok = idle_.wait_for(lock, timeout, [&] { return running_ == 0; });
    if (ok) reapLocked();
    return ok;
}

void Spawner::stopAll() {
    std::list<Entry> taken;
    std::unique_lock lock(mutex_);
    ++stopping_;
    for (auto& e : entries_) e.thread.request_stop();
    // Finishing work takes the lock to mark itself done.
    idle_.wait(lock, [&] { return running_ == 0; });
    taken.splice(taken.end(), entries_);
    --stopping_;
    lock.unlock();
    for (auto& e : taken)
        if (e.thread.joinable() && e.thread.get_id() != std::this_thread::get_id()) e.thread.join();
}

std::size_t Spawner::running() const {
    std::lock_guard lock(mutex_);
    return running_;
}

}  // namespace kavri
