#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/notifications/notification_center.h"

namespace kavri {

// A notification centre that shows nothing and remembers every call, for
// tests: install it with NotificationCenter::install().
class RecordingNotificationCenter final : public NotificationCenter {
public:
    void requestAuthorization() override;
    void add(NotificationRequest request) override;
    void removePendingRequests(const std::vector<std::string>& identifiers) override;

    std::vector<NotificationRequest> added() const;
    std::vector<std::vector<std::string>> removals() const;
    std::size_t authorizationRequests() const;
    // Number of added requests with that identifier.
    std::size_t count(std::string_view identifier) const;
    void clear();

private:
    mutable std::mutex mutex_;
    std::vector<NotificationRequest> added_;
    std::vector<std::vector<std::string>> removals_;
    std::size_t authorizations_ = 0;
};

}  // namespace kavri
