#include "ui/main/account_banner.h"

#include "core/kavri_notifications.h"

namespace kavri {

namespace {
AccountBanner line(std::string text, PaletteColor color, bool payLink) {
    AccountBanner b;
    b.kind = AccountBanner::Kind::stateLine;
    b.title = std::move(text);
    b.color = color;
    b.payLink = payLink;
    return b;
}
}  // namespace

AccountBanner AccountBanner::choose(const Account& a, const Clock& clock) {
    if (a.deviceRemoved) {
        return {Kind::deviceRemoved, "Доступ на этом устройстве отключён",
                "Подписка жива — платить второй раз не нужно.", "Вернуть доступ", PaletteColor::danger, false};
    }
    if (!a.state) return {};
    const auto date = [&](Date d) { return KavriNotifications::dayMonthSmart(d, clock); };
    switch (a.state->value()) {
        case SubscriptionState::expired:
            return {Kind::expired,
                    a.lastActiveState == "trial" ? "Пробный период закончился" : "Подписка закончилась",
                    "",
                    "Выбрать тариф",
                    PaletteColor::danger,
                    false};
        case SubscriptionState::trial:
            if (a.daysLeft && *a.daysLeft < 3) {
                return line("Бесплатно ещё " + std::to_string(*a.daysLeft) + " " +
                                KavriNotifications::pluralDays(*a.daysLeft),
                            PaletteColor::textSecondary, true);
            }
            if (a.expiresAt) return line("Бесплатно до " + date(*a.expiresAt), PaletteColor::textSecondary, true);
            return {};
        case SubscriptionState::paidAutopay:
        case SubscriptionState::granted:
            if (a.expiresAt)
                return line("Подписка активна до " + date(*a.expiresAt), PaletteColor::textSecondary, false);
            return {};
        case SubscriptionState::paidCancelled:
            if (a.expiresAt) return line("Оплачено до " + date(*a.expiresAt), PaletteColor::textSecondary, false);
            return {};
        case SubscriptionState::chargeFailed:
            return line("Списание не прошло", PaletteColor::danger, true);
    }
    return {};
}

}  // namespace kavri
