#include "tunnel/account_notices.h"

#include <gtest/gtest.h>

#include "core/kavri_defaults_key.h"
#include "platform/notifications/recording_notification_center.h"
#include "platform/runtime/fake_clock.h"
#include "platform/runtime/log.h"
#include "tests/support/temp_dir.h"

namespace kavri {
namespace {

using namespace std::chrono_literals;
using State = SubscriptionState;

class AccountNoticesTest : public ::testing::Test {
protected:
    void SetUp() override { NotificationCenter::install(center_); }
    void TearDown() override { NotificationCenter::install(nullptr); }

    std::int64_t nowUnix() const {
        return std::chrono::duration_cast<std::chrono::seconds>(clock_.wallNow().time_since_epoch()).count();
    }
    AccountNotices::Facts trial(std::int64_t expires, nlohmann::json notice) const {
        return {State::trial, 299, "RUB", expires, std::move(notice)};
    }

    test::TempDir dir_;
    KavriStore store_{dir_.path()};
    FakeClock clock_;
    AccountNotices notices_{store_, clock_};
    std::shared_ptr<RecordingNotificationCenter> center_ = std::make_shared<RecordingNotificationCenter>();
    LogCapture log_;
};

TEST_F(AccountNoticesTest, ChargeFailedIsAnnouncedOncePerRunOfRecordsThatSaySo) {
    const State run[] = {State::paidAutopay, State::chargeFailed, State::chargeFailed,
                         State::chargeFailed, State::paidAutopay, State::chargeFailed};
    for (State s : run) {
        notices_.postChargeFailedNotice({s, 299, std::nullopt, std::nullopt, std::nullopt});
        EXPECT_EQ(store_.string(KavriDefaultsKey::lastKnownState), std::string(s.rawValue()));
    }
    const auto added = center_->added();
    ASSERT_EQ(added.size(), 2u);
    EXPECT_EQ(added[0].identifier, "autocharge_failed");
    EXPECT_EQ(added[0].content.body,
              "Не смогли списать 299\u00A0₽ — проверьте карту. Завтра VPN отключится, если не продлить.");
    EXPECT_EQ(log_.count("[Kavri] charge_failed → отправлено локальное уведомление"), 2u);
}

TEST_F(AccountNoticesTest, ChargeFailedDependsOnTheStoredPreviousState) {
    const struct {
        std::optional<std::string> stored;
        bool posted;
    } cases[] = {{std::nullopt, true}, {"charge_failed", false}, {"expired", true}, {"Charge_Failed", true}};
    for (const auto& c : cases) {
        center_->clear();
        if (c.stored) store_.set(KavriDefaultsKey::lastKnownState, *c.stored);
        else store_.removeObject(KavriDefaultsKey::lastKnownState);
        notices_.postChargeFailedNotice({State::chargeFailed, 100, "RUB", std::nullopt, std::nullopt});
        EXPECT_EQ(center_->count("autocharge_failed"), c.posted ? 1u : 0u) << c.stored.value_or("(none)");
    }

    // A record without a state changes nothing at all.
    store_.set(KavriDefaultsKey::lastKnownState, "trial");
    center_->clear();
    notices_.postChargeFailedNotice({});
    EXPECT_TRUE(center_->added().empty());
    EXPECT_EQ(store_.string(KavriDefaultsKey::lastKnownState), "trial");
}

TEST_F(AccountNoticesTest, ChargeFailedPriceComesFromTheRecordElseTheStore) {
    store_.set(KavriDefaultsKey::priceMonth, std::int64_t{1490});
    store_.set(KavriDefaultsKey::currency, "USD");
    notices_.postChargeFailedNotice({State::chargeFailed, std::nullopt, std::nullopt, std::nullopt, std::nullopt});
    ASSERT_EQ(center_->added().size(), 1u);
    EXPECT_TRUE(center_->added()[0].content.body.starts_with("Не смогли списать 1\u00A0490\u00A0$ — "));

    store_.set(KavriDefaultsKey::lastKnownState, "paid_autopay");
    notices_.postChargeFailedNotice({State::chargeFailed, 399, "EUR", std::nullopt, std::nullopt});
    ASSERT_EQ(center_->added().size(), 2u);
    EXPECT_TRUE(center_->added()[1].content.body.starts_with("Не смогли списать 399\u00A0€ — "));

    // No price anywhere: logged and skipped, and the state is still kept.
    store_.set(KavriDefaultsKey::lastKnownState, "paid_autopay");
    store_.removeObject(KavriDefaultsKey::priceMonth);
    notices_.postChargeFailedNotice({State::chargeFailed, std::nullopt, std::nullopt, std::nullopt, std::nullopt});
    EXPECT_EQ(center_->added().size(), 2u);
    EXPECT_TRUE(log_.contains("[Kavri] charge_failed, но цены нет ни в мете, ни в кеше — уведомление пропущено"));
    EXPECT_EQ(store_.string(KavriDefaultsKey::lastKnownState), "charge_failed");
}

TEST_F(AccountNoticesTest, TrialNoticeOncePerExpiryInsideItsWindow) {
    const nlohmann::json notice = {{"hours_before", 24}, {"body", "Триал заканчивается"}, {"title", "Каври"},
                                   {"cta", "kavri://pay"}};
    std::int64_t expires = nowUnix() + 50 * 3600;

    notices_.postTrialNotice(trial(expires, notice));  // 50 h away: not yet
    EXPECT_TRUE(center_->added().empty());
    EXPECT_EQ(store_.object(KavriDefaultsKey::lastTrialNoticeExpiry), std::nullopt);

    clock_.advance(27h);  // 23 h left
    notices_.postTrialNotice(trial(expires, notice));
    clock_.advance(1h);
    notices_.postTrialNotice(trial(expires, notice));
    ASSERT_EQ(center_->added().size(), 1u);
    const NotificationRequest shown = center_->added()[0];
    EXPECT_EQ(shown.identifier, "trial_notice");
    EXPECT_EQ(shown.content.title, "Каври");
    EXPECT_EQ(shown.content.body, "Триал заканчивается");
    EXPECT_EQ(shown.content.userInfo.at("OPEN_URL"), "kavri://pay");
    EXPECT_EQ(store_.integer(KavriDefaultsKey::lastTrialNoticeExpiry), expires);
    EXPECT_TRUE(log_.contains("[Kavri] trial_notice: показан (осталось 23 ч)"));

    expires = nowUnix() + 3 * 3600 + 59;  // the trial was extended
    notices_.postTrialNotice(trial(expires, notice));
    EXPECT_EQ(center_->count("trial_notice"), 2u);
    EXPECT_TRUE(log_.contains("[Kavri] trial_notice: показан (осталось 3 ч)"));
}

TEST_F(AccountNoticesTest, TrialNoticeEndsSilentlyOnAnyMissingPiece) {
    const std::int64_t soon = nowUnix() + 3600;
    const nlohmann::json good = {{"hours_before", 2}, {"body", "b"}};
    auto with = [&](const char* key, nlohmann::json value) {
        nlohmann::json n = good;
        if (value.is_null()) n.erase(key);
        else n[key] = value;
        return n;
    };
    const AccountNotices::Facts cases[] = {
        {State::paidAutopay, 299, "RUB", soon, good},
        {State::trial, 299, "RUB", soon, std::nullopt},
        {State::trial, 299, "RUB", soon, nlohmann::json::array()},
        {State::trial, 299, "RUB", soon, with("hours_before", 0)},
        {State::trial, 299, "RUB", soon, with("hours_before", 0.9)},
        {State::trial, 299, "RUB", soon, with("hours_before", "5")},
        {State::trial, 299, "RUB", soon, with("hours_before", true)},
        {State::trial, 299, "RUB", soon, with("hours_before", 1e300)},  // no 64-bit integer value
        {State::trial, 299, "RUB", soon, with("hours_before", nullptr)},
        {State::trial, 299, "RUB", soon, with("body", "")},
        {State::trial, 299, "RUB", soon, with("body", 7)},
        {State::trial, 299, "RUB", std::nullopt, good},
        {State::trial, 299, "RUB", 0, good},
        {State::trial, 299, "RUB", nowUnix(), good},  // already over
        {State::trial, 299, "RUB", nowUnix() + 2 * 3600 + 1, good},  // just outside the window
    };
    for (const auto& facts : cases) notices_.postTrialNotice(facts);
    EXPECT_TRUE(center_->added().empty());
    EXPECT_EQ(store_.object(KavriDefaultsKey::lastTrialNoticeExpiry), std::nullopt);
    EXPECT_TRUE(log_.lines().empty());

    // A window so wide that hours × 3600 overflows still holds the expiry.
    notices_.postTrialNotice(trial(soon, with("hours_before", 4e18)));
    notices_.postTrialNotice(trial(soon + 1, with("hours_before", std::numeric_limits<std::int64_t>::max())));
    EXPECT_EQ(center_->count("trial_notice"), 2u);
    EXPECT_EQ(center_->added()[0].content.title, std::nullopt);
}

}  // namespace
}  // namespace kavri
