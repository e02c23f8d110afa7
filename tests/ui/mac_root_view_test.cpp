#include "ui/main/mac_root_view.h"

#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>

#include "platform/runtime/fake_clock.h"
#include "tests/ui/qt_app.h"
#include "ui/main/logo_button.h"
#include "ui/object_names.h"
#include "ui/screens/screen_gallery.h"
#include "ui/style/animations.h"
#include "ui/style/connect_button.h"
#include "ui/style/palette.h"

namespace kavri {
namespace {

using namespace std::chrono_literals;

class MacRootViewTest : public ::testing::Test {
protected:
    MacRootViewTest() { Animations::setEnabled(false); }
    ~MacRootViewTest() override { Animations::setEnabled(true); }

    template <class T>
    T* find(const char* name) {
        return view.findChild<T*>(name);
    }
    void click(QWidget* w, QPoint at = {}) {
        ASSERT_TRUE(w);
        QTest::mouseClick(w, Qt::LeftButton, {}, at.isNull() ? w->rect().center() : at);
    }

    QApplication& app = test::qtApp();
    FakeClock clock{Clock::WallTime(std::chrono::seconds(1'765'400'000))};
    MacRootView view{clock};
};

TEST_F(MacRootViewTest, WhileBlockedTheConnectButtonIsDimmedAndIgnoresClicks) {
    MacRootViewState s;
    s.status = RootStatus::of(true, false, VPNManager::Status::of(VPNManager::Status::Kind::connected));
    s.connectOpacity = 0.4;
    s.connectEnabled = false;
    view.setState(s);
    view.show();
    QSignalSpy clicks(&view, &MacRootView::connectClicked);
    auto* button = find<ConnectButton>(ObjectName::connectButton);
    ASSERT_TRUE(button);
    EXPECT_DOUBLE_EQ(button->dimming(), 0.4);
    click(button);
    EXPECT_EQ(clicks.count(), 0);

    s.connectOpacity = 1;
    s.connectEnabled = true;
    view.setState(s);
    click(button);
    EXPECT_EQ(clicks.count(), 1);
    test::keepOnFailure(view);
}

TEST_F(MacRootViewTest, TheLogoTakesClicksOnItsCircleAndNoneWhileAToggleRuns) {
    view.show();
    QSignalSpy clicks(&view, &MacRootView::logoClicked);
    auto* logo = find<LogoButton>(ObjectName::logoButton);
    ASSERT_TRUE(logo);
    click(logo);
    EXPECT_EQ(clicks.count(), 1);
    click(logo, QPoint(2, 2));  // the corner of its square lies outside the circle
    EXPECT_EQ(clicks.count(), 1);

    MacRootViewState s;
    s.logoEnabled = false;
    view.setState(s);
    click(logo);
    EXPECT_EQ(clicks.count(), 1);
    test::keepOnFailure(view);
}

TEST_F(MacRootViewTest, BannerButtonsSayWhatTheyOpen) {
    MacRootViewState s;
    s.banner = AccountBanner::choose({false, SubscriptionState::expired, {}, {}, ""}, clock);
    view.setState(s);
    view.show();
    QSignalSpy pay(&view, &MacRootView::payClicked);
    QSignalSpy restore(&view, &MacRootView::restoreAccessClicked);
    auto* choosePlan = find<QAbstractButton>(ObjectName::bannerButton);
    ASSERT_TRUE(choosePlan);
    EXPECT_EQ(choosePlan->text(), "Выбрать тариф");
    click(choosePlan);
    EXPECT_EQ(pay.count(), 1);

    s.banner = AccountBanner::choose({true, {}, {}, {}, ""}, clock);
    view.setState(s);
    click(find<QAbstractButton>(ObjectName::bannerButton));
    EXPECT_EQ(restore.count(), 1);

    s.banner = AccountBanner::choose({false, SubscriptionState::chargeFailed, {}, {}, ""}, clock);
    view.setState(s);
    EXPECT_FALSE(find<QAbstractButton>(ObjectName::bannerButton));
    click(find<QAbstractButton>(ObjectName::payButton));
    EXPECT_EQ(pay.count(), 2);

    s.showPlans = true;
    view.setState(s);
    QSignalSpy dismissed(&view, &MacRootView::sheetDismissed);
    click(find<QWidget>(ObjectName::plansSheet), QPoint(10, 10));  // outside the panel
    ASSERT_EQ(dismissed.count(), 1);
    EXPECT_EQ(dismissed.at(0).at(0).toInt(), 1);
    test::keepOnFailure(view);
}

// The sheets lie in their fixed order, not in the order they opened: the
// location sheet that hands over to the plans stays above them as it leaves.
TEST_F(MacRootViewTest, SheetsLieInTheirFixedOrderWhateverOpenedLast) {
    view.show();
    MacRootViewState s;
    s.showStack = true;
    view.setState(s);
    s.showPlans = true;
    view.setState(s);
    EXPECT_EQ(view.childAt(QPoint(10, 10)), find<QWidget>(ObjectName::stackSheet));
    s.showStack = false;
    view.setState(s);
    s.showMenu = true;
    view.setState(s);
    EXPECT_EQ(view.childAt(QPoint(10, 10)), find<QWidget>(ObjectName::plansSheet));
    test::keepOnFailure(view);
}

// A pixel of a picture, in points.
QColor pixel(const QImage& image, double x, double y) {
    const double dpr = image.devicePixelRatio();
    return image.pixelColor(int(x * dpr), int(y * dpr));
}
bool near(const QColor& a, const QColor& b, int tolerance = 6) {
    return std::abs(a.red() - b.red()) <= tolerance && std::abs(a.green() - b.green()) <= tolerance &&
           std::abs(a.blue() - b.blue()) <= tolerance;
}

TEST_F(MacRootViewTest, TheScreensShowThePalettesColoursWhereTheyBelong) {
    view.show();
    const QRectF connect = find<ConnectButton>(ObjectName::connectButton)->geometry();

    const QImage inactive = ScreenGallery::render("main-inactive");
    ASSERT_FALSE(inactive.isNull());
    EXPECT_EQ(inactive.size() / inactive.devicePixelRatio(), QSize(361, 656));
    EXPECT_TRUE(near(pixel(inactive, 4, 4), Palette::background())) << pixel(inactive, 4, 4).name().toStdString();
    const QColor accent = pixel(inactive, connect.left() + 12, connect.center().y());
    EXPECT_TRUE(near(accent, Palette::accent())) << accent.name().toStdString();

    // The ring's top, on the window's middle line: the first yellow pixel from
    // the top (the clock lies lower, the header's text not on that line).
    const auto ringTopOf = [](const QImage& image) -> std::optional<double> {
        for (double y = 40; y < 300; y += 0.5) {
            const QColor c = pixel(image, 180.5, y);
            if (c.red() > 150 && c.green() > 120 && c.blue() < 130) return y;
        }
        return std::nullopt;
    };
    EXPECT_FALSE(ringTopOf(inactive));  // the idle ring is grey
    const QImage connected = ScreenGallery::render("main-connected");
    const auto top = ringTopOf(connected);
    ASSERT_TRUE(top);
    const QColor glow = pixel(connected, 180.5, *top - 4);  // the blurred arc outside the bright one
    EXPECT_GT(glow.red(), Palette::background().red() + 20) << glow.name().toStdString();
    // Connected: the connect button is white at 0.12 over the backdrop, no accent.
    const QColor dim = pixel(connected, connect.left() + 12, connect.center().y());  // the banner moves it a little
    EXPECT_FALSE(near(dim, Palette::accent(), 40));
    EXPECT_GT(dim.red(), Palette::background().red());
}

// A failure text of 200 characters wraps within the column: no text in the
// margins, the connect button inside the window; a text longer than the
// window could show takes the lines there is room for, the last one cut.
TEST_F(MacRootViewTest, ALongFailureCaptionStaysInsideTheColumn) {
    std::string endless;
    for (int i = 0; i < 40; ++i) endless += std::string(ScreenGallery::longFailure) + " ";
    for (const std::string& text : {std::string(ScreenGallery::longFailure), endless}) {
        MacRootViewState s;
        s.status = RootStatus::of(false, false, VPNManager::Status::failed(text));
        s.banner =
            AccountBanner::choose({false, SubscriptionState::paidAutopay, {}, clock.wallNow() + 24h * 40, ""}, clock);
        StackAPI::Snapshot stack;
        stack.location.mode = "manual";
        stack.location.label = "Германия";
        stack.location.countryCode = "de";
        s.showsStackCard = true;
        s.stack = stack;
        view.setState(s);
        view.show();
        const QImage image = view.grab().toImage();
        int stray = 0;  // light pixels in the margins beside the column
        for (double y = 0; y < 655; y += 0.5)
            for (double x : {1.0, 6.0, 11.0, 16.0, 345.0, 350.0, 355.0, 360.0})
                stray += pixel(image, x, y).lightness() > Palette::background().lightness() + 60;
        EXPECT_EQ(stray, 0) << text.size() << " characters";
        EXPECT_LE(find<QWidget>(ObjectName::connectButton)->geometry().bottom(), MacRootView::height)
            << text.size() << " characters";
        EXPECT_GE(find<QWidget>(ObjectName::stackCard)->geometry().top(), 0);
        test::keepOnFailure(view);
    }
}

}  // namespace
}  // namespace kavri
