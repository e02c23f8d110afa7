#include "ui/shell/qt_main_executor.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>

#include <cstdint>

namespace kavri {

QtMainExecutor::QtMainExecutor()
    : thread_(QCoreApplication::instance()->thread()), wakeFd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    notifier_ = std::make_unique<QSocketNotifier>(wakeFd_, QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] { runQueued(); });
}

QtMainExecutor::~QtMainExecutor() {
    shutdown();
    notifier_.reset();
    ::close(wakeFd_);
}

void QtMainExecutor::post(std::function<void()> work) {
    {
        std::lock_guard lock(mutex_);
        if (stopped_) return;
        queue_.push_back(std::move(work));
    }
    const std::uint64_t one = 1;
    (void)!::write(wakeFd_, &one, sizeof one);
}

bool QtMainExecutor::isMainThread() const { return QThread::currentThread() == thread_; }

void QtMainExecutor::runQueued() {
    std::uint64_t count = 0;
    (void)!::read(wakeFd_, &count, sizeof count);
    // Runs what is queued now; work it queues wakes the loop again.
    std::size_t n = 0;
    {
        std::lock_guard lock(mutex_);
        n = queue_.size();
    }
    for (; n > 0; --n) {
        std::function<void()> job;
        {
            std::lock_guard lock(mutex_);
            if (queue_.empty()) return;
            job = std::move(queue_.front());
            queue_.pop_front();
        }
        job();
    }
}

void QtMainExecutor::shutdown() {
    std::deque<std::function<void()>> dropped;
    {
        std::lock_guard lock(mutex_);
        stopped_ = true;
        dropped.swap(queue_);
    }
    // `dropped` goes here, outside the lock: waiting invokes wake.
}

}  // namespace kavri
