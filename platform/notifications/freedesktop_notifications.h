#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "platform/notifications/notification_presenter.h"

namespace kavri {

// Shows notifications through the desktop's notification service
// (org.freedesktop.Notifications on the session bus). Without a session bus,
// a notification service or libsystemd, the notification is written to the
// log instead.
class FreedesktopNotifications final : public NotificationPresenter {
public:
    // `busAddress` names a bus ("unix:path=..."); empty for the user's session bus.
    explicit FreedesktopNotifications(std::string busAddress = {},
                                      std::chrono::milliseconds callTimeout = std::chrono::seconds(3));

    void present(const NotificationRequest& request) override;

    // One Notify call; false when it could not be made or was refused. A
    // request of an identifier shown before replaces that notification.
    bool notify(const NotificationRequest& request);

    // The log line of a notification that no service showed.
    static std::string logLine(const NotificationRequest& request);

private:
    std::string busAddress_;
    std::chrono::milliseconds callTimeout_;
    std::mutex mutex_;
    std::map<std::string, std::uint32_t> shown_;  // identifier -> the service's id
};

}  // namespace kavri
