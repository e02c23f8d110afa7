#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "app/runtime/main_executor.h"

namespace kavri {

// A main thread driven by hand: the thread that creates it is the main
// thread, and posted work runs only when that thread calls one of the run
// functions. Tests use it so that nothing depends on real time.
class ManualExecutor final : public MainExecutor {
public:
    ManualExecutor();
    ~ManualExecutor() override;

    void post(std::function<void()> work) override;
    bool isMainThread() const override;

    // Runs everything queued, including work queued by that work, until the
    // queue is empty. Returns how many jobs ran.
    int runUntilIdle();
    // Runs queued work as it arrives until `done()` holds (checked after each
    // job and while idle) or `limit` of real time passes. Returns done().
    // The default limit only ends a wait that would never end: a loaded
    // machine may take long for any step, and ctest ends a test at 300 s.
    bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = hangGuard);
    static constexpr std::chrono::milliseconds hangGuard = std::chrono::seconds(240);
    // Drops everything queued and refuses later work; waiting invoke() calls
    // throw Stopped.
    void shutdown();
    std::size_t pending() const;

private:
    bool runOne();

    std::thread::id mainThread_;
    mutable std::mutex mutex_;
    std::condition_variable queued_;
    std::deque<std::function<void()>> queue_;
    bool stopped_ = false;
};

}  // namespace kavri
