#include "platform/notifications/recording_notification_center.h"

#include <algorithm>

namespace kavri {

void RecordingNotificationCenter::requestAuthorization() {
    std::lock_guard lock(mutex_);
    ++authorizations_;
}

void RecordingNotificationCenter::add(NotificationRequest request) {
    std::lock_guard lock(mutex_);
    added_.push_back(std::move(request));
}

void RecordingNotificationCenter::removePendingRequests(const std::vector<std::string>& identifiers) {
    std::lock_guard lock(mutex_);
    removals_.push_back(identifiers);
}

std::vector<NotificationRequest> RecordingNotificationCenter::added() const {
    std::lock_guard lock(mutex_);
    return added_;
}

std::vector<std::vector<std::string>> RecordingNotificationCenter::removals() const {
    std::lock_guard lock(mutex_);
    return removals_;
}

std::size_t RecordingNotificationCenter::authorizationRequests() const {
    std::lock_guard lock(mutex_);
    return authorizations_;
}

std::size_t RecordingNotificationCenter::count(std::string_view identifier) const {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(std::count_if(
        added_.begin(), added_.end(), [&](const auto& r) { return r.identifier == identifier; }));
}

void RecordingNotificationCenter::clear() {
    std::lock_guard lock(mutex_);
    added_.clear();
    removals_.clear();
    authorizations_ = 0;
}

}  // namespace kavri
