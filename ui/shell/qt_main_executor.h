#pragma once

#include <QObject>
#include <QThread>

#include <deque>
#include <functional>
#include <memory>
#include <mutex>

#include "app/runtime/main_executor.h"

class QSocketNotifier;

namespace kavri {

// The Qt event loop's thread as the app's main thread. Posted work waits in
// a queue of our own; an eventfd wakes the loop, which runs the queue in
// order. Create it on the GUI thread once the application object exists.
class QtMainExecutor final : public MainExecutor {
public:
    QtMainExecutor();
    ~QtMainExecutor() override;
    QtMainExecutor(const QtMainExecutor&) = delete;
    QtMainExecutor& operator=(const QtMainExecutor&) = delete;

    void post(std::function<void()> work) override;
    bool isMainThread() const override;

    // Main thread: drops what is queued and refuses later work; waiting
    // invoke() calls throw Stopped.
    void shutdown();

private:
    void runQueued();

    QThread* thread_;
    int wakeFd_ = -1;
    std::unique_ptr<QSocketNotifier> notifier_;
    std::mutex mutex_;
    std::deque<std::function<void()>> queue_;
    bool stopped_ = false;
};

}  // namespace kavri
