#include "platform/notifications/notification_center.h"

#include <mutex>

#include "platform/notifications/desktop_notification_center.h"
#include "platform/notifications/freedesktop_notifications.h"
#include "platform/userdata/user_data_directory.h"

namespace kavri {
namespace {

std::mutex& centerMutex() {
    static std::mutex m;
    return m;
}

std::shared_ptr<NotificationCenter>& installed() {
    static std::shared_ptr<NotificationCenter> center;
    return center;
}

}  // namespace

std::shared_ptr<NotificationCenter> NotificationCenter::current() {
    std::lock_guard lock(centerMutex());
    if (installed()) return installed();
    // Created once and kept to the end of the process: its threads may still
    // run while other statics are torn down.
    static auto* desktop = new std::shared_ptr<NotificationCenter>(std::make_shared<DesktopNotificationCenter>(
        UserDataDirectory::path(), std::make_shared<FreedesktopNotifications>()));
    return *desktop;
}

void NotificationCenter::install(std::shared_ptr<NotificationCenter> center) {
    std::lock_guard lock(centerMutex());
    installed() = std::move(center);
}

}  // namespace kavri
