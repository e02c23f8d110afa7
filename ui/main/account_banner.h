#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/plist_value.h"
#include "core/subscription_state.h"
#include "platform/runtime/clock.h"
#include "ui/style/palette_color.h"

namespace kavri {

// The account banner under the status row: at most one of the device-removed
// notice, the expired notice, or a line about the plan with its pay link.
struct AccountBanner {
    enum class Kind {
        none,
        deviceRemoved,  // title, subtitle and a button that opens the devices
        expired,        // title and a button that opens the plans
        stateLine,      // one line in `color`, with "Оплатить" when `payLink`
    };

    Kind kind = Kind::none;
    std::string title;
    std::string subtitle;
    std::string button;
    PaletteColor color = PaletteColor::textSecondary;
    bool payLink = false;

    bool operator==(const AccountBanner&) const = default;

    struct Account {
        bool deviceRemoved = false;  // the shared store's "device_removed"
        std::optional<SubscriptionState> state;
        std::optional<std::int64_t> daysLeft;
        std::optional<Date> expiresAt;
        std::string lastActiveState;  // raw value of the last state other than expired
    };

    // Dates within the clock's current year are shown as "dd.MM", others
    // as "dd.MM.yyyy".
    static AccountBanner choose(const Account& account, const Clock& clock);
};

}  // namespace kavri
