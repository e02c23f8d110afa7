#pragma once

#include <map>
#include <optional>
#include <string>

#include <nlohmann/json_fwd.hpp>

#include "platform/runtime/clock.h"

namespace kavri {

// What a notification shows.
struct NotificationContent {
    std::optional<std::string> title;  // none: the service shows the app's name
    std::string body;
    bool defaultSound = false;
    std::map<std::string, std::string> userInfo;
    std::string categoryIdentifier;

    bool operator==(const NotificationContent&) const = default;
};

// A moment given as local calendar fields (seconds are never part of it); it
// fires once, at the start of that minute in the time zone in force then.
struct CalendarDateTrigger {
    int year = 0;
    int month = 0;  // 1...12
    int day = 0;    // 1...31
    int hour = 0;
    int minute = 0;

    // The fields of `date` in the current time zone, seconds dropped.
    static CalendarDateTrigger matching(Clock::WallTime date);
    // The start of that minute in the current time zone.
    Clock::WallTime fireDate() const;

    bool operator==(const CalendarDateTrigger&) const = default;
};

// One request to the notification service. A request replaces a pending or
// shown one of the same identifier.
struct NotificationRequest {
    std::string identifier;
    NotificationContent content;
    std::optional<CalendarDateTrigger> trigger;  // none: show at once

    bool operator==(const NotificationRequest&) const = default;

    nlohmann::json toJson() const;
    static std::optional<NotificationRequest> fromJson(const nlohmann::json& json);
};

}  // namespace kavri
