#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/notifications/notification_center.h"
#include "platform/notifications/notification_presenter.h"
#include "platform/runtime/clock.h"
#include "platform/runtime/task.h"

namespace kavri {

// The notification centre of this system. Adding and removing return at
// once: the changes are applied in order on a worker thread of the centre's,
// which also hands due requests to the presenter, so a caller never waits for
// the file, its lock (held by another process, say) or the presenter. Calendar-date requests
// wait in "notifications.json" (mode 0600) in `directory`, so they survive a
// restart of the program: the centre delivers every due one when it starts and
// each at its time (the file is re-read at least every `recheckInterval`, so
// a request another process added is seen as well). Under the file's lock a
// due request is taken out of the file before it is shown, so two processes
// never show the same one.
class DesktopNotificationCenter final : public NotificationCenter {
public:
    DesktopNotificationCenter(std::filesystem::path directory, std::shared_ptr<NotificationPresenter> presenter,
                              Clock& clock = Clock::system(),
                              Clock::Duration recheckInterval = std::chrono::seconds(60));
    // Applies the changes made so far, shows what was due already, then stops.
    ~DesktopNotificationCenter() override;

    // The desktop service asks the user nothing; nothing to do.
    void requestAuthorization() override {}
    void add(NotificationRequest request) override;
    void removePendingRequests(const std::vector<std::string>& identifiers) override;

    // The calendar-date requests not yet shown, in the order they were added,
    // once the changes made before the call have been applied.
    std::vector<NotificationRequest> pendingRequests() const;
    // Waits (real time) until every change was applied and every due request
    // was handed to the presenter.
    bool drain(std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

private:
    std::vector<NotificationRequest> loadPending() const;  // caller holds the file lock
    bool storePending(const std::vector<NotificationRequest>& pending) const;
    // On the worker: the changes themselves.
    void applyAdd(NotificationRequest request);
    void applyRemoval(const std::vector<std::string>& identifiers);
    // Hands due requests to the worker; returns the earliest later fire date.
    std::optional<Clock::WallTime> takeDue();
    void enqueue(std::function<void()> job);
    void rearm();
    void timerLoop(std::stop_token stop);
    void workerLoop(std::stop_token stop);

    const std::filesystem::path directory_;
    const std::filesystem::path file_;
    const std::filesystem::path lockFile_;
    const std::shared_ptr<NotificationPresenter> presenter_;
    Clock& clock_;
    const Clock::Duration recheckInterval_;

    mutable std::mutex fileMutex_;
    mutable std::mutex queueMutex_;
    mutable std::condition_variable_any queueChanged_;
    std::deque<std::function<void()>> queue_;  // changes and presentations, in order
    bool busy_ = false;

    std::mutex timerMutex_;
    bool closing_ = false;  // no timer is armed any more
    Task worker_;
    Task timer_;  // stops first
};

}  // namespace kavri
