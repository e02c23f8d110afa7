#pragma once

#include "platform/notifications/notification_request.h"

namespace kavri {

// Shows a notification that is due now.
class NotificationPresenter {
public:
    virtual ~NotificationPresenter() = default;
    virtual void present(const NotificationRequest& request) = 0;
};

}  // namespace kavri
