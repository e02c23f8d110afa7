#include "ui/sheets/mac_plan_sheet_presenter.h"

#include <gtest/gtest.h>

#include "app/runtime/manual_executor.h"
#include "core/deployment.h"
#include "core/keychain.h"
#include "core/kavri_http.h"
#include "platform/runtime/fake_clock.h"
#include "testing/test_control_plane.h"
#include "tests/ui/sheets/account_fixture.h"

namespace kavri {
namespace {

using namespace std::chrono_literals;
using json = nlohmann::json;
using Reply = TestControlPlane::Reply;
using Plan = KavriAPI::StatusResult::Plan;
using Row = MacPlanSheetState::Row;

TEST(MacPlanSheetTextsTest, TheSecondLineAgreesWithTheDaysAndJoinsASubtitle) {
    const struct {
        std::int64_t days;
        std::optional<std::string> subtitle;
        std::string text;
    } rows[] = {
        {30, {}, "на 30 дней"},        {21, {}, "на 21 день"},   {22, {}, "на 22 дня"},
        {11, {}, "на 11 дней"},        {14, {}, "на 14 дней"},   {25, {}, "на 25 дней"},
        {365, "", "на 365 дней"},      {1, {}, "на 1 день"},
        {90, "выгоднее на 15%", "на 90 дней · выгоднее на 15%"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(MacPlanSheetPresenter::planTitle(Plan{"k", "t", 1, 1, row.days, {}, row.subtitle}), row.text);
    }
}

class MacPlanSheetPresenterTest : public test::AccountFixture {
protected:
    void SetUp() override {
        AccountFixture::SetUp();
        plane.setStatus(token, json{{"state", "trial"}, {"plans", plans}}.dump());
        plane.setPaymentPlans(token, {"m1", "y1"});
    }
    void TearDown() override {
        presenter.reset();
        AccountFixture::TearDown();
    }

    MacPlanSheetPresenter& make() {
        presenter = std::make_unique<MacPlanSheetPresenter>(
            main, MacPlanSheetPresenter::Deps{*subscription, [this] { ++closed; },
                                              [this](const std::string& url) { opened.push_back(url); }});
        return *presenter;
    }
    // The sheet on screen with its tariffs read.
    MacPlanSheetPresenter& listed() {
        auto& p = make();
        p.appear();
        EXPECT_TRUE(main.runUntil([&] { return !p.state().loading; }));
        return p;
    }
    std::vector<bool> enabled() const {
        std::vector<bool> out;
        for (const auto& row : presenter->state().rows) out.push_back(row.enabled);
        return out;
    }

    const json plans = json::array({
        {{"key", "m1"}, {"title", "Месяц"}, {"months", 1}, {"price", 390}, {"days", 30}},
        {{"key", "y1"}, {"title", "Год"}, {"months", 12}, {"price", 2990}, {"days", 365}, {"pro", true},
         {"subtitle", "выгоднее на 36%"}},
        {{"key", "q1"}, {"title", "Три месяца"}, {"months", 3}, {"price", 990}, {"days", 92}, {"pro", false}},
    });
    std::unique_ptr<MacPlanSheetPresenter> presenter;
    int closed = 0;
    std::vector<std::string> opened;
};

TEST_F(MacPlanSheetPresenterTest, TheLoadingViewReadsTheStatusAndTheRowsFollowTheStoresOrder) {
    auto& p = make();
    EXPECT_TRUE(p.state().loading);
    EXPECT_EQ(plane.requestCount(), 0u);  // nothing before it is on screen
    p.appear();
    ASSERT_TRUE(main.runUntil([&] { return !p.state().loading; }));
    EXPECT_EQ(plane.accountCalls(), std::vector<std::string>{"GET /status/" + token});
    EXPECT_EQ(p.state().rows, (std::vector<Row>{
                                  {"m1", "Месяц", "на 30 дней", "390 ₽", false, false, true},
                                  {"y1", "Год", "на 365 дней · выгоднее на 36%", "2990 ₽", true, false, true},
                                  {"q1", "Три месяца", "на 92 дня", "990 ₽", false, false, true},
                              }));

    // With the list showing, a new opening reads nothing.
    p.disappear();
    make().appear();
    main.runUntilIdle();
    EXPECT_EQ(plane.accountCalls().size(), 1u);
}

TEST_F(MacPlanSheetPresenterTest, APurchaseDisablesEveryRowOpensThePaymentPageAndCloses) {
    auto& p = listed();
    plane.clearRequests();
    p.planClicked("y1");
    EXPECT_EQ(p.busy(), "y1");
    EXPECT_EQ(enabled(), (std::vector<bool>{false, false, false}));
    EXPECT_TRUE(p.state().rows[1].busy);
    EXPECT_FALSE(p.state().rows[0].busy);
    p.planClicked("m1");  // ignored while one runs
    ASSERT_TRUE(main.runUntil([&] { return closed > 0; }));
    EXPECT_EQ(opened, std::vector<std::string>{"https://pay.test/1"});
    EXPECT_EQ(closed, 1);
    EXPECT_EQ(plane.accountCalls(), std::vector<std::string>{"POST /pay/create"});
    EXPECT_FALSE(p.busy());
}

TEST_F(MacPlanSheetPresenterTest, AFailedPurchaseKeepsTheSheetOpenWithTheRowsEnabledAgain) {
    auto& p = listed();
    plane.script(Reply::withStatus(500), "/pay/create");
    p.planClicked("m1");
    ASSERT_TRUE(main.runUntil([&] { return !p.busy(); }));
    EXPECT_EQ(enabled(), (std::vector<bool>{true, true, true}));
    EXPECT_TRUE(opened.empty());
    EXPECT_EQ(closed, 0);
    EXPECT_EQ(subscription->lastError.get(), std::string(SubscriptionStore::paymentFailedText));
}

TEST_F(MacPlanSheetPresenterTest, ClosingDuringAPurchaseStillOpensThePaymentPage) {
    listed().planClicked("m1");
    presenter.reset();
    ASSERT_TRUE(main.runUntil([&] { return !opened.empty(); }));
    EXPECT_EQ(opened, std::vector<std::string>{"https://pay.test/1"});
    EXPECT_EQ(closed, 0);
}

TEST_F(MacPlanSheetPresenterTest, ATariffTheBackendNoLongerKnowsRereadsTheStatusAndTheRowsFollowIt) {
    auto& p = listed();
    plane.setStatus(token, json{{"state", "trial"}, {"plans", json::array({plans[1]})}}.dump());
    plane.setPaymentPlans(token, {"y1"});
    plane.clearRequests();
    p.planClicked("m1");
    ASSERT_TRUE(main.runUntil([&] { return !p.busy(); }));
    EXPECT_EQ(plane.accountCalls(), (std::vector<std::string>{"POST /pay/create", "GET /status/" + token}));
    ASSERT_EQ(p.state().rows.size(), 1u);
    EXPECT_EQ(p.state().rows[0].key, "y1");
    EXPECT_TRUE(p.state().rows[0].enabled);
    EXPECT_EQ(subscription->lastError.get(), std::string(SubscriptionStore::plansChangedText));
    EXPECT_EQ(closed, 0);
}

}  // namespace
}  // namespace kavri
