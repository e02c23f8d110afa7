#include <QApplication>
#include <QClipboard>
#include <QTest>

#include <gtest/gtest.h>

#include <cstdlib>

#include "app/runtime/manual_executor.h"
#include "core/kavri_http.h"
#include "platform/runtime/fake_clock.h"
#include "tests/support/temp_dir.h"
#include "tests/ui/qt_app.h"
#include "ui/object_names.h"
#include "ui/sheets/mac_menu_sheet.h"
#include "ui/sheets/mac_menu_sheet_presenter.h"
#include "ui/sheets/mac_plan_sheet.h"
#include "ui/shell/clipboard_pasteboard.h"
#include "ui/style/activity_indicator.h"
#include "ui/style/animations.h"
#include "ui/style/painted_button.h"

namespace kavri {
namespace {

using namespace std::chrono_literals;

void click(QWidget* w) {
    ASSERT_TRUE(w);
    QTest::mouseClick(w, Qt::LeftButton, {}, w->rect().center());
}

class MacMenuSheetViewTest : public ::testing::Test {
protected:
    MacMenuSheetViewTest() {
        Animations::setEnabled(false);
        subscription.apply(KavriAPI::StatusResult::decode(R"({"app_id":42,"state":"granted","referral":{}})"),
                           SubscriptionStore::StatusOrigin::cached);
        auto presenter = std::make_unique<MacMenuSheetPresenter>(
            main, MacMenuSheetPresenter::Deps{
                      subscription,
                      [this] { events.push_back("plans"); },
                      [this] { events.push_back("devices"); },
                      [this] { events.push_back("close"); },
                      [this](const std::string& url) { events.push_back(url); },
                      std::make_shared<ClipboardPasteboard>(main),
                      [](std::stop_token) { return std::optional<AppUpdateInfo>(); },
                      [this] { return std::make_shared<MacUpdater>(main, MacUpdater::Deps{}); },
                      nullptr,
                      5,
                      "1.0",
                      {"https://t.test/bot", "https://k.test/privacy", "https://k.test/terms", "https://t.test/help"},
                      clock});
        sheet.bind(std::move(presenter));
        sheet.resize(361, 503);
    }
    ~MacMenuSheetViewTest() override {
        test::keepOnFailure(sheet);
        Animations::setEnabled(true);
    }

    QApplication& app = test::qtApp();
    ManualExecutor main;
    FakeClock clock;
    test::TempDir temp;
    KavriStore shared{temp.path()};
    SubscriptionStore subscription{main, SubscriptionClient(KavriHTTP::api(), shared, clock),
                                   KavriAPI(KavriHTTP::api(), shared, clock), shared, clock};
    std::vector<std::string> events;
    MacMenuSheet sheet;
};

TEST_F(MacMenuSheetViewTest, TheCardCopiesTheNumberToTheDesktopClipboardAndTheRowsReachTheHost) {
    sheet.show();
    QGuiApplication::clipboard()->setText("earlier");
    click(sheet.findChild<QWidget*>(ObjectName::menuIdCard));
    EXPECT_EQ(QGuiApplication::clipboard()->text().toStdString(), "Ваш ID: 0042");
    EXPECT_EQ(sheet.viewState().idLine, "Скопировано");

    for (const char* name : {ObjectName::menuPlansRow, ObjectName::menuDevicesRow, ObjectName::menuDone,
                             ObjectName::privacyLink, ObjectName::termsLink, ObjectName::supportLink})
        click(sheet.findChild<QWidget*>(name));
    EXPECT_EQ(events, (std::vector<std::string>{"plans", "devices", "close", "https://k.test/privacy",
                                                "https://k.test/terms", "https://t.test/help"}));
    // The referral block came without links: the number makes one.
    click(sheet.findChild<QWidget*>(ObjectName::referralButton));
    EXPECT_EQ(QGuiApplication::clipboard()->text().toStdString(), "https://t.test/bot?start=ref_42");
}

// The scroll indicator lies over the content: the cards keep the same
// distance from both edges of the sheet.
TEST_F(MacMenuSheetViewTest, TheCardsStayCentredWhileTheIndicatorShows) {
    sheet.show();
    QCoreApplication::processEvents();
    auto* card = sheet.findChild<QWidget*>(ObjectName::menuIdCard);
    ASSERT_TRUE(card);
    const QRect r(card->mapTo(&sheet, QPoint(0, 0)), card->size());
    EXPECT_EQ(r.left(), sheet.width() - 1 - r.right());
    auto* indicator = sheet.findChild<QWidget*>(ObjectName::scrollIndicator);
    EXPECT_TRUE(indicator && indicator->isVisible());  // the sheet's content is taller than its 503 pt
}

TEST_F(MacMenuSheetViewTest, TheUpdateControlIsDisabledWhileTheOpeningCheckRuns) {
    sheet.show();  // the opening check starts
    auto* update = sheet.findChild<QAbstractButton*>(ObjectName::updateButton);
    ASSERT_TRUE(update);
    EXPECT_EQ(sheet.viewState().update.text, "Проверяем…");
    EXPECT_FALSE(update->isEnabled());
    ASSERT_TRUE(main.runUntil([&] { return update->isEnabled(); }));
    EXPECT_EQ(sheet.viewState().update.text, "Проверить обновления");
}

TEST(MacPlanSheetViewTest, DuringAPurchaseEveryRowIsDisabledAndOnlyTheBoughtOneSpins) {
    test::qtApp();
    Animations::setEnabled(false);
    MacPlanSheet sheet;
    sheet.resize(361, 413);
    sheet.show();
    EXPECT_TRUE(sheet.findChild<QWidget*>(ObjectName::planLoading)->isVisible());

    MacPlanSheetState s;
    s.loading = false;
    s.rows = {{"m1", "Месяц", "на 30 дней", "390 ₽", false, false, true},
              {"y1", "Год", "на 365 дней", "2990 ₽", true, false, true}};
    sheet.setState(s);
    EXPECT_FALSE(sheet.findChild<QWidget*>(ObjectName::planLoading)->isVisible());
    ASSERT_EQ(sheet.rows().size(), 2u);
    std::vector<std::string> bought;
    QObject::connect(&sheet, &MacPlanSheet::planClicked, [&](const std::string& key) { bought.push_back(key); });
    click(sheet.rows()[1]);
    EXPECT_EQ(bought, std::vector<std::string>{"y1"});

    s.rows[1].busy = true;
    for (auto& row : s.rows) row.enabled = false;
    sheet.setState(s);
    EXPECT_FALSE(sheet.rows()[0]->isEnabled());
    EXPECT_FALSE(sheet.rows()[1]->isEnabled());
    EXPECT_FALSE(sheet.rows()[0]->findChild<ActivityIndicator*>()->isVisible());
    EXPECT_TRUE(sheet.rows()[1]->findChild<ActivityIndicator*>()->isVisible());
    click(sheet.rows()[0]);
    EXPECT_EQ(bought.size(), 1u);
    test::keepOnFailure(sheet);
    Animations::setEnabled(true);
}

}  // namespace
}  // namespace kavri
