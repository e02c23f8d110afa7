#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/notifications/notification_center.h"
#include "platform/notifications/notification_presenter.h"
#include "platform/runtime/clock.h"
#include "platform/runtime/task.h"

namespace kavri {

// The notification centre of this system. Requests due now go to the
// presenter on a worker thread of their own, in order. Calendar-date requests
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
    // Shows what was due already, then stops.
    ~DesktopNotificationCenter() override;

    // The desktop service asks the user nothing; nothing to do.
    void requestAuthorization() override {}
    void add(NotificationRequest request) override;
    void removePendingRequests(const std::vector<std::string>& identifiers) override;

    // The calendar-date requests not yet shown, in the order they were added.
    std::vector<NotificationRequest> pendingRequests() const;
    // Waits (real time) until every due request was handed to the presenter.
    bool drain(std::chrono::milliseconds timeout = std::chrono::seconds(10));

private:
    std::vector<NotificationRequest> loadPending() const;  // caller holds the file lock
    bool storePending(const std::vector<NotificationRequest>& pending) const;
    // Hands due requests to the worker; returns the earliest later fire date.
    std::optional<Clock::WallTime> takeDue();
    void enqueue(std::vector<NotificationRequest> requests);
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
    std::mutex queueMutex_;
    std::condition_variable_any queueChanged_;
    std::deque<NotificationRequest> queue_;
    bool presenting_ = false;

    std::mutex timerMutex_;
    Task worker_;
    Task timer_;  // stops first
};

}  // namespace kavri
