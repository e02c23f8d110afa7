#include "core/kavri_notifications.h"

#include <cstdio>
#include <ctime>

#include "platform/notifications/notification_center.h"

namespace kavri {
namespace {

constexpr std::string_view kNoBreakSpace = "\u00A0";

std::tm localFields(Date date) {
    const std::time_t t = std::chrono::system_clock::to_time_t(std::chrono::floor<std::chrono::seconds>(date));
    std::tm local{};
    localtime_r(&t, &local);
    return local;
}

std::string twoDigits(int n) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%02d", n);
    return buffer;
}

std::string fourDigits(int n) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%04d", n);
    return buffer;
}

// The sign the Russian locale shows for a currency, or nothing for a code it
// shows as it is.
std::optional<std::string_view> currencySign(std::string_view code) {
    static constexpr std::pair<std::string_view, std::string_view> signs[] = {
        {"AUD", "A$"},  {"BRL", "R$"},  {"CAD", "CA$"}, {"CNY", "CN¥"}, {"EUR", "€"},
        {"GBP", "£"},   {"HKD", "HK$"}, {"ILS", "₪"},   {"INR", "₹"},   {"JPY", "¥"},
        {"KRW", "₩"},   {"MXN", "MX$"}, {"NZD", "NZ$"}, {"RUB", "₽"},   {"THB", "฿"},
        {"TMT", "ТМТ"}, {"TWD", "NT$"}, {"UAH", "₴"},   {"USD", "$"},   {"VND", "₫"},
        {"XAF", "FCFA"}, {"XCD", "EC$"}, {"XOF", "F\u202FCFA"}, {"XPF", "CFPF"},
    };
    for (const auto& [c, sign] : signs) {
        if (c == code) return sign;
    }
    return std::nullopt;
}

std::string groupedDigits(std::uint64_t magnitude) {
    const std::string digits = std::to_string(magnitude);
    std::string out;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) out += kNoBreakSpace;
        out.push_back(digits[i]);
    }
    return out;
}

}  // namespace

const std::array<KavriNotifications::ID, 8>& KavriNotifications::allCases() {
    static constexpr std::array<ID, 8> all = {ID::trial3Days,       ID::trial1Day,     ID::sub1Day,
                                              ID::paid,             ID::autochargeOK,  ID::autochargeFailed,
                                              ID::referralBonus,    ID::trialEnded};
    return all;
}

std::string KavriNotifications::rawValue(ID id) {
    switch (id) {
        case ID::trial3Days: return "trial_3d";
        case ID::trial1Day: return "trial_1d";
        case ID::sub1Day: return "sub_1d";
        case ID::paid: return "paid";
        case ID::autochargeOK: return "autocharge_ok";
        case ID::autochargeFailed: return "autocharge_failed";
        case ID::referralBonus: return "referral_bonus";
        case ID::trialEnded: return "trial_ended";
    }
    return {};
}

std::optional<KavriNotifications::ID> KavriNotifications::idFromRawValue(std::string_view raw) {
    for (ID id : allCases()) {
        if (rawValue(id) == raw) return id;
    }
    return std::nullopt;
}

void KavriNotifications::requestAuthorization() { NotificationCenter::current()->requestAuthorization(); }

void KavriNotifications::fire(ID id, std::string body) {
    NotificationRequest request;
    request.identifier = rawValue(id);
    request.content.body = std::move(body);
    request.content.defaultSound = true;
    NotificationCenter::current()->add(std::move(request));
}

void KavriNotifications::schedule(ID id, std::string body, Date date, std::optional<std::string> title,
                                  const Clock& clock) {
    if (date <= clock.wallNow()) return;
    NotificationRequest request;
    request.identifier = rawValue(id);
    request.content.title = std::move(title);
    request.content.body = std::move(body);
    request.content.defaultSound = true;
    request.trigger = CalendarDateTrigger::matching(date);
    NotificationCenter::current()->add(std::move(request));
}

void KavriNotifications::cancel(const std::vector<ID>& ids) {
    std::vector<std::string> identifiers;
    for (ID id : ids) identifiers.push_back(rawValue(id));
    NotificationCenter::current()->removePendingRequests(identifiers);
}

void KavriNotifications::fireGeneric(std::string identifier, std::optional<std::string> title, std::string body,
                                     std::optional<std::string> ctaURL) {
    NotificationRequest request;
    request.identifier = std::move(identifier);
    if (title && !title->empty()) request.content.title = std::move(title);
    request.content.body = std::move(body);
    request.content.defaultSound = true;
    if (ctaURL && !ctaURL->empty()) {
        request.content.userInfo["OPEN_URL"] = *ctaURL;
        request.content.categoryIdentifier = "OPEN_URL";
    }
    NotificationCenter::current()->add(std::move(request));
}

std::string KavriNotifications::trial3DaysText(std::string_view price) {
    return "🦅 Осталось 3 дня пробного периода. Если Каври прижился — продлите за " + std::string(price) +
           "/мес, всё останется как есть.";
}

std::string KavriNotifications::trial1DayText(std::string_view price) {
    return "Завтра пробный период закончится и VPN отключится. Продлить — " + std::string(price) +
           "/мес, займёт минуту.";
}

std::string KavriNotifications::trialEndedText(std::string_view price) {
    return "VPN отключён. Продлить можно — за " + std::string(price) + " в приложении.";
}

std::string KavriNotifications::sub1DayText(std::string_view price) {
    return "Завтра подписка закончится и VPN отключится. Продлите за " + std::string(price) +
           " — для стабильной работы.";
}

std::string KavriNotifications::paidText(Date until) {
    return "Оплачено ✅ Каври с вами до " + dayMonth(until) + ". Спасибо, что выбрали нас.";
}

std::string KavriNotifications::autochargeOKText(std::string_view price, Date until) {
    return "Продлили подписку — " + std::string(price) + ". Каври с вами до " + dayMonth(until) + ".";
}

std::string KavriNotifications::autochargeFailedText(std::string_view price) {
    return "Не смогли списать " + std::string(price) + " — проверьте карту. Завтра VPN отключится, если не продлить.";
}

std::string KavriNotifications::referralBonusText(Date until) {
    return "🎉 Поздравляем! У вас бесплатная подписка на год — до " + shortDate(until) +
           ". Хотите ещё год? Пригласите ещё 5 друзей 🦅";
}

std::string KavriNotifications::priceText(std::int64_t price, std::optional<std::string_view> currency) {
    std::string code(currency.value_or("RUB"));
    bool letters = code.size() == 3;
    for (char& c : code) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        letters = letters && c >= 'A' && c <= 'Z';
    }
    if (!letters) return std::to_string(price) + " ₽";
    const std::uint64_t magnitude =
        price < 0 ? static_cast<std::uint64_t>(-(price + 1)) + 1 : static_cast<std::uint64_t>(price);
    std::string out = price < 0 ? "-" : "";
    out += groupedDigits(magnitude);
    out += kNoBreakSpace;
    out += currencySign(code).value_or(code);
    return out;
}

std::string KavriNotifications::dayMonth(Date date) {
    static constexpr std::string_view months[] = {"января", "февраля", "марта",    "апреля",  "мая",    "июня",
                                                  "июля",   "августа", "сентября", "октября", "ноября", "декабря"};
    const std::tm t = localFields(date);
    return std::to_string(t.tm_mday) + " " + std::string(months[t.tm_mon]);
}

std::string KavriNotifications::shortDate(Date date) {
    const std::tm t = localFields(date);
    return twoDigits(t.tm_mday) + "." + twoDigits(t.tm_mon + 1) + "." + fourDigits(t.tm_year + 1900);
}

std::string KavriNotifications::dayMonthNumeric(Date date) {
    const std::tm t = localFields(date);
    return twoDigits(t.tm_mday) + "." + twoDigits(t.tm_mon + 1);
}

std::string KavriNotifications::dayMonthSmart(Date date, const Clock& clock) {
    if (localFields(date).tm_year == localFields(clock.wallNow()).tm_year) return dayMonthNumeric(date);
    return shortDate(date);
}

std::string KavriNotifications::pluralDays(std::int64_t n) {
    const std::int64_t mod100 = n % 100;
    const std::int64_t mod10 = n % 10;
    if (mod100 >= 11 && mod100 <= 14) return "дней";
    if (mod10 >= 2 && mod10 <= 4) return "дня";
    if (mod10 == 1) return "день";
    return "дней";
}

}  // namespace kavri
