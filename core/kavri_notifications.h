#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/plist_value.h"
#include "platform/runtime/clock.h"

namespace kavri {

// The account's local notifications: their kinds, their Russian texts, the
// Russian formatting of prices and dates, and posting through the process's
// NotificationCenter. Posting returns at once and reports nothing.
class KavriNotifications {
public:
    // The raw value of a kind is also its request identifier, so a new
    // request of a kind replaces the pending or shown one.
    enum class ID { trial3Days, trial1Day, sub1Day, paid, autochargeOK, autochargeFailed, referralBonus, trialEnded };

    static const std::array<ID, 8>& allCases();
    static std::string rawValue(ID id);
    static std::optional<ID> idFromRawValue(std::string_view raw);

    static void requestAuthorization();
    // Now: the body unchanged, no title, the default sound.
    static void fire(ID id, std::string body);
    // At the minute of `date` (seconds dropped), once; dropped when `date` is
    // not later than the clock's now.
    static void schedule(ID id, std::string body, Date date, std::optional<std::string> title = std::nullopt,
                         const Clock& clock = Clock::system());
    // Removes pending requests of these kinds; shown ones stay.
    static void cancel(const std::vector<ID>& ids);
    // Now, under a free identifier; a title only when not empty; a non-empty
    // `ctaURL` goes into the user info under "OPEN_URL", with that category.
    static void fireGeneric(std::string identifier, std::optional<std::string> title, std::string body,
                            std::optional<std::string> ctaURL);

    static std::string trial3DaysText(std::string_view price);
    static std::string trial1DayText(std::string_view price);
    static std::string trialEndedText(std::string_view price);
    static std::string sub1DayText(std::string_view price);
    static std::string paidText(Date until);
    static std::string autochargeOKText(std::string_view price, Date until);
    static std::string autochargeFailedText(std::string_view price);
    static std::string referralBonusText(Date until);

    // The amount in the Russian way: groups of three digits parted by a
    // no-break space, no fraction digits, a no-break space and the currency's
    // sign ("RUB", the default, is "₽"; a code without a sign is shown as it
    // is). A code that is not three letters gives the plain number + " ₽".
    static std::string priceText(std::int64_t price, std::optional<std::string_view> currency);
    // Dates in the current time zone.
    static std::string dayMonth(Date date);         // "5 марта"
    static std::string shortDate(Date date);        // "05.03.2026"
    static std::string dayMonthNumeric(Date date);  // "05.03"
    // "dd.MM" within the clock's current year, else "dd.MM.yyyy".
    static std::string dayMonthSmart(Date date, const Clock& clock = Clock::system());
    // "день", "дня" or "дней", agreeing with n.
    static std::string pluralDays(std::int64_t n);
};

}  // namespace kavri
