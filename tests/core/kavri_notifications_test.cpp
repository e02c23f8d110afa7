#include "core/kavri_notifications.h"

#include <gtest/gtest.h>

#include <ctime>

#include "platform/notifications/recording_notification_center.h"
#include "platform/runtime/fake_clock.h"

namespace kavri {
namespace {

using ID = KavriNotifications::ID;
constexpr const char* nbsp = "\u00A0";

// A moment given in the local time zone, so the tests hold in any zone.
Date localDate(int year, int month, int day, int hour = 12, int minute = 0, int second = 0) {
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    t.tm_isdst = -1;
    return std::chrono::system_clock::from_time_t(std::mktime(&t));
}

TEST(KavriNotificationsID, RawValuesInCaseOrder) {
    const std::vector<std::string> raw = {"trial_3d",          "trial_1d",       "sub_1d",     "paid",
                                          "autocharge_ok",     "autocharge_failed", "referral_bonus",
                                          "trial_ended"};
    ASSERT_EQ(KavriNotifications::allCases().size(), raw.size());
    for (std::size_t i = 0; i < raw.size(); ++i) {
        const ID id = KavriNotifications::allCases()[i];
        EXPECT_EQ(KavriNotifications::rawValue(id), raw[i]);
        EXPECT_EQ(KavriNotifications::idFromRawValue(raw[i]), id);
    }
    for (const char* other : {"", "Paid", "trial_notice", "paid "}) {
        EXPECT_EQ(KavriNotifications::idFromRawValue(other), std::nullopt) << other;
    }
}

TEST(KavriNotificationsText, PricesInTheRussianWay) {
    const struct {
        std::int64_t price;
        std::optional<std::string> currency;
        std::string text;
    } cases[] = {
        {299, std::nullopt, std::string("299") + nbsp + "₽"},
        {0, "RUB", std::string("0") + nbsp + "₽"},
        {1990, "RUB", std::string("1") + nbsp + "990" + nbsp + "₽"},
        {1234567, "rub", std::string("1") + nbsp + "234" + nbsp + "567" + nbsp + "₽"},
        {-4500, "RUB", std::string("-4") + nbsp + "500" + nbsp + "₽"},
        {299, "USD", std::string("299") + nbsp + "$"},
        {12345, "EUR", std::string("12") + nbsp + "345" + nbsp + "€"},
        {5, "KZT", std::string("5") + nbsp + "KZT"},
        // A code the formatter cannot take: the plain number and " ₽".
        {1990, "", "1990 ₽"},
        {1990, "RUBLE", "1990 ₽"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(KavriNotifications::priceText(c.price, c.currency), c.text)
            << c.price << " " << c.currency.value_or("(none)");
    }
}

TEST(KavriNotificationsText, DaysAgreeWithTheirNumber) {
    const struct {
        std::int64_t n;
        const char* word;
    } cases[] = {{0, "дней"},   {1, "день"},  {2, "дня"},    {3, "дня"},   {4, "дня"},   {5, "дней"},
                 {11, "дней"},  {12, "дней"}, {14, "дней"},  {21, "день"}, {22, "дня"},  {25, "дней"},
                 {101, "день"}, {111, "дней"}, {112, "дней"}, {1021, "день"}, {-1, "дней"}, {-22, "дней"}};
    for (const auto& c : cases) EXPECT_EQ(KavriNotifications::pluralDays(c.n), c.word) << c.n;
}

TEST(KavriNotificationsText, DatesWithGenitiveMonths) {
    const char* months[] = {"января", "февраля", "марта",    "апреля",  "мая",    "июня",
                            "июля",   "августа", "сентября", "октября", "ноября", "декабря"};
    for (int m = 1; m <= 12; ++m) {
        EXPECT_EQ(KavriNotifications::dayMonth(localDate(2026, m, 5)), std::string("5 ") + months[m - 1]);
    }
    EXPECT_EQ(KavriNotifications::dayMonth(localDate(2026, 12, 31, 23, 59)), "31 декабря");
    EXPECT_EQ(KavriNotifications::shortDate(localDate(2026, 3, 5)), "05.03.2026");
    EXPECT_EQ(KavriNotifications::dayMonthNumeric(localDate(2026, 3, 5)), "05.03");

    FakeClock clock(localDate(2026, 6, 1));
    EXPECT_EQ(KavriNotifications::dayMonthSmart(localDate(2026, 11, 9), clock), "09.11");
    EXPECT_EQ(KavriNotifications::dayMonthSmart(localDate(2027, 1, 9), clock), "09.01.2027");
}

TEST(KavriNotificationsText, BodiesOfEveryKind) {
    const std::string price = KavriNotifications::priceText(299, std::nullopt);
    const Date until = localDate(2026, 3, 8);
    const struct {
        std::string body;
        std::string expected;
    } cases[] = {
        {KavriNotifications::trial3DaysText(price),
         "🦅 Осталось 3 дня пробного периода. Если Каври прижился — продлите за 299\u00A0₽/мес, всё останется "
         "как есть."},
        {KavriNotifications::trial1DayText(price),
         "Завтра пробный период закончится и VPN отключится. Продлить — 299\u00A0₽/мес, займёт минуту."},
        {KavriNotifications::trialEndedText(price), "VPN отключён. Продлить можно — за 299\u00A0₽ в приложении."},
        {KavriNotifications::sub1DayText(price),
         "Завтра подписка закончится и VPN отключится. Продлите за 299\u00A0₽ — для стабильной работы."},
        {KavriNotifications::paidText(until), "Оплачено ✅ Каври с вами до 8 марта. Спасибо, что выбрали нас."},
        {KavriNotifications::autochargeOKText(price, until),
         "Продлили подписку — 299\u00A0₽. Каври с вами до 8 марта."},
        {KavriNotifications::autochargeFailedText(price),
         "Не смогли списать 299\u00A0₽ — проверьте карту. Завтра VPN отключится, если не продлить."},
        {KavriNotifications::referralBonusText(until),
         "🎉 Поздравляем! У вас бесплатная подписка на год — до 08.03.2026. Хотите ещё год? Пригласите ещё 5 "
         "друзей 🦅"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.body, c.expected);
}

class KavriNotificationsPosting : public ::testing::Test {
protected:
    void SetUp() override { NotificationCenter::install(center_); }
    void TearDown() override { NotificationCenter::install(nullptr); }
    std::shared_ptr<RecordingNotificationCenter> center_ = std::make_shared<RecordingNotificationCenter>();
};

TEST_F(KavriNotificationsPosting, FireAndCancelUseTheKindsRawValues) {
    KavriNotifications::requestAuthorization();
    KavriNotifications::fire(ID::autochargeFailed, "body");
    KavriNotifications::cancel({ID::trial3Days, ID::trial1Day, ID::sub1Day, ID::trialEnded});

    EXPECT_EQ(center_->authorizationRequests(), 1u);
    ASSERT_EQ(center_->added().size(), 1u);
    const NotificationRequest r = center_->added()[0];
    EXPECT_EQ(r.identifier, "autocharge_failed");
    EXPECT_EQ(r.content.title, std::nullopt);
    EXPECT_EQ(r.content.body, "body");
    EXPECT_TRUE(r.content.defaultSound);
    EXPECT_EQ(r.trigger, std::nullopt);
    const std::vector<std::vector<std::string>> removals = {{"trial_3d", "trial_1d", "sub_1d", "trial_ended"}};
    EXPECT_EQ(center_->removals(), removals);
}

TEST_F(KavriNotificationsPosting, ScheduleDropsPastMomentsAndSecondsOfFutureOnes) {
    FakeClock clock(localDate(2026, 3, 5, 9, 0, 0));
    KavriNotifications::schedule(ID::sub1Day, "late", clock.wallNow() - std::chrono::seconds(30), "t", clock);
    KavriNotifications::schedule(ID::sub1Day, "now", clock.wallNow(), std::nullopt, clock);
    EXPECT_TRUE(center_->added().empty());

    KavriNotifications::schedule(ID::trialEnded, "soon", localDate(2026, 3, 6, 10, 15, 40),
                                 "Пробный период закончился", clock);
    ASSERT_EQ(center_->added().size(), 1u);
    const NotificationRequest r = center_->added()[0];
    EXPECT_EQ(r.identifier, "trial_ended");
    EXPECT_EQ(r.content.title, "Пробный период закончился");
    ASSERT_TRUE(r.trigger);
    EXPECT_EQ(*r.trigger, (CalendarDateTrigger{2026, 3, 6, 10, 15}));
    EXPECT_EQ(r.trigger->fireDate(), localDate(2026, 3, 6, 10, 15, 0));
}

TEST_F(KavriNotificationsPosting, GenericNoticeCarriesTitleAndLinkOnlyWhenGiven) {
    KavriNotifications::fireGeneric("trial_notice", "", "plain", "");
    KavriNotifications::fireGeneric("trial_notice", "Title", "with link", "https://pay.example/x");

    const auto added = center_->added();
    ASSERT_EQ(added.size(), 2u);
    EXPECT_EQ(added[0].identifier, "trial_notice");
    EXPECT_EQ(added[0].content.title, std::nullopt);
    EXPECT_TRUE(added[0].content.userInfo.empty());
    EXPECT_EQ(added[0].content.categoryIdentifier, "");

    EXPECT_EQ(added[1].content.title, "Title");
    EXPECT_EQ(added[1].content.body, "with link");
    EXPECT_EQ(added[1].content.userInfo, (std::map<std::string, std::string>{{"OPEN_URL", "https://pay.example/x"}}));
    EXPECT_EQ(added[1].content.categoryIdentifier, "OPEN_URL");
}

}  // namespace
}  // namespace kavri
