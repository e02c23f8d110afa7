#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/notifications/notification_request.h"

namespace kavri {

// The user-notification centre of the process: posts requests at once or at
// a calendar date and removes pending ones. Calls return at once; the centre
// reports no outcome.
class NotificationCenter {
public:
    virtual ~NotificationCenter() = default;

    virtual void requestAuthorization() = 0;
    virtual void add(NotificationRequest request) = 0;
    // Removes requests that are still pending; shown ones stay.
    virtual void removePendingRequests(const std::vector<std::string>& identifiers) = 0;

    // The installed centre, else the desktop's one (created on first use over
    // the user's data directory, which delivers due requests left from an
    // earlier run).
    static std::shared_ptr<NotificationCenter> current();
    // Replaces the centre of the process (nullptr restores the default).
    static void install(std::shared_ptr<NotificationCenter> center);
};

}  // namespace kavri
