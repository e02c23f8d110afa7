#include "platform/notifications/notification_request.h"

#include <ctime>
#include <nlohmann/json.hpp>

namespace kavri {

CalendarDateTrigger CalendarDateTrigger::matching(Clock::WallTime date) {
    const std::time_t t = std::chrono::system_clock::to_time_t(
        std::chrono::floor<std::chrono::seconds>(date));
    std::tm local{};
    localtime_r(&t, &local);
    return {local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min};
}

Clock::WallTime CalendarDateTrigger::fireDate() const {
    std::tm local{};
    local.tm_year = year - 1900;
    local.tm_mon = month - 1;
    local.tm_mday = day;
    local.tm_hour = hour;
    local.tm_min = minute;
    local.tm_isdst = -1;
    return std::chrono::system_clock::from_time_t(std::mktime(&local));
}

nlohmann::json NotificationRequest::toJson() const {
    nlohmann::json j = {{"identifier", identifier},
                        {"body", content.body},
                        {"sound", content.defaultSound},
                        {"user_info", content.userInfo},
                        {"category", content.categoryIdentifier}};
    if (content.title) j["title"] = *content.title;
    if (trigger) {
        j["trigger"] = {{"year", trigger->year},
                        {"month", trigger->month},
                        {"day", trigger->day},
                        {"hour", trigger->hour},
                        {"minute", trigger->minute}};
    }
    return j;
}

std::optional<NotificationRequest> NotificationRequest::fromJson(const nlohmann::json& j) {
    if (!j.is_object()) return std::nullopt;
    try {
        NotificationRequest r;
        r.identifier = j.at("identifier").get<std::string>();
        r.content.body = j.at("body").get<std::string>();
        r.content.defaultSound = j.value("sound", false);
        if (j.contains("title")) r.content.title = j.at("title").get<std::string>();
        r.content.userInfo = j.value("user_info", std::map<std::string, std::string>{});
        r.content.categoryIdentifier = j.value("category", std::string{});
        if (j.contains("trigger")) {
            const auto& t = j.at("trigger");
            r.trigger = CalendarDateTrigger{t.at("year").get<int>(), t.at("month").get<int>(),
                                            t.at("day").get<int>(), t.at("hour").get<int>(),
                                            t.at("minute").get<int>()};
        }
        return r;
    } catch (const nlohmann::json::exception&) {
        return std::nullopt;
    }
}

}  // namespace kavri
