#include "ui/main/mac_bottom_sheet.h"

#include <QApplication>
#include <QMouseEvent>
#include <QPushButton>
#include <QPointer>
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

#include "tests/ui/qt_app.h"
#include "ui/main/top_rounded_rectangle.h"
#include "ui/style/animations.h"

namespace kavri {
namespace {

class MacBottomSheetTest : public ::testing::Test {
protected:
    MacBottomSheetTest() {
        Animations::setEnabled(false);
        window.resize(361, 656);
        window.show();
    }
    ~MacBottomSheetTest() override { Animations::setEnabled(true); }

    // A mouse event at `at` (sheet points) stamped `ms`, sent to `target`.
    void send(QWidget* target, QEvent::Type type, QPointF at, ulong ms) {
        const QPointF local = target->mapFrom(&sheet, at.toPoint());
        const Qt::MouseButtons buttons = type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton;
        QMouseEvent event(type, local, target->mapToGlobal(local), Qt::LeftButton, buttons, Qt::NoModifier);
        event.setTimestamp(ms);
        QApplication::sendEvent(target, &event);
    }
    // Presses at `from`, moves down by `dy` in ten even steps over `ms`
    // milliseconds and lets go; returns the drag offset just before the
    // release.
    double drag(QPointF from, double dy, ulong ms, QWidget* target = nullptr) {
        if (!target) target = &sheet;
        ulong t = 1000;
        send(target, QEvent::MouseButtonPress, from, t);
        for (int i = 1; i <= 10; ++i) send(target, QEvent::MouseMove, from + QPointF(0, dy * i / 10), t + ms * i / 10);
        const double offset = sheet.dragOffset();
        send(target, QEvent::MouseButtonRelease, from + QPointF(0, dy), t + ms);
        return offset;
    }
    QPointF inPanel() const { return sheet.panelRect().center(); }

    QApplication& app = test::qtApp();
    QWidget window;
    MacBottomSheet sheet{560, &window};
};

TEST_F(MacBottomSheetTest, ADragClosesPastAThirdOrWhenItsPredictedEndPassesTheHeight) {
    struct Case {
        const char* name;
        double dy;
        ulong ms;
        bool closes;
    } cases[] = {
        {"190 points, slowly: past 186.67", 190, 3000, true},
        {"180 points, slowly: springs back", 180, 3000, false},
        {"a short fast flick", 60, 40, true},
        {"a short slow drag", 60, 2000, false},
        {"upward, fast", -150, 50, false},
        {"under the 10 point start: not a drag", 8, 20, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sheet.setPresented(true);
        const QRectF resting = sheet.panelRect();
        QSignalSpy dismissed(&sheet, &MacBottomSheet::dismissed);
        const double during = drag(inPanel(), c.dy, c.ms);
        if (std::abs(c.dy) >= SheetDrag::minimumDistance) {
            EXPECT_DOUBLE_EQ(during, c.dy);
        }
        EXPECT_EQ(dismissed.count(), c.closes ? 1 : 0);
        EXPECT_EQ(sheet.isPresented(), !c.closes);
        EXPECT_EQ(sheet.isVisible(), !c.closes);
        EXPECT_EQ(sheet.dragOffset(), 0);
        if (!c.closes) {
            EXPECT_EQ(sheet.panelRect(), resting);
        }
        sheet.setPresented(false);
    }
}

TEST_F(MacBottomSheetTest, ThePanelFollowsTheDragDownwardOnly) {
    sheet.setPresented(true);
    const QRectF resting = sheet.panelRect();
    EXPECT_DOUBLE_EQ(resting.bottom(), sheet.height());
    const QPointF from = inPanel();
    send(&sheet, QEvent::MouseButtonPress, from, 0);
    send(&sheet, QEvent::MouseMove, from + QPointF(0, -40), 500);
    EXPECT_DOUBLE_EQ(sheet.dragOffset(), -40);
    EXPECT_EQ(sheet.panelRect(), resting);
    send(&sheet, QEvent::MouseMove, from + QPointF(0, 70), 1000);
    EXPECT_DOUBLE_EQ(sheet.panelRect().top(), resting.top() + 70);
    send(&sheet, QEvent::MouseButtonRelease, from + QPointF(0, 70), 1500);
    EXPECT_EQ(sheet.panelRect(), resting);
}

TEST_F(MacBottomSheetTest, ASheetItsOwnerClosedMidDragComesBackWhole) {
    sheet.setPresented(true);
    const QRectF resting = sheet.panelRect();
    const QPointF from = inPanel();
    send(&sheet, QEvent::MouseButtonPress, from, 0);
    send(&sheet, QEvent::MouseMove, from + QPointF(0, 80), 500);
    sheet.setPresented(false);  // say, the content's own close button
    EXPECT_DOUBLE_EQ(sheet.dragOffset(), 80);
    send(&sheet, QEvent::MouseButtonRelease, from + QPointF(0, 80), 600);
    sheet.setPresented(true);
    EXPECT_EQ(sheet.panelRect(), resting);
}

TEST_F(MacBottomSheetTest, ATapOnTheBackdropClosesAndATapOnThePanelDoesNot) {
    sheet.setPresented(true);
    QSignalSpy dismissed(&sheet, &MacBottomSheet::dismissed);
    drag(inPanel(), 0, 80);
    EXPECT_EQ(dismissed.count(), 0);
    EXPECT_TRUE(sheet.isPresented());
    drag(QPointF(30, 30), 0, 80);
    EXPECT_EQ(dismissed.count(), 1);
    EXPECT_FALSE(sheet.isPresented());
    EXPECT_FALSE(sheet.isVisible());
}

TEST_F(MacBottomSheetTest, TheContentIsBuiltEachTimeItIsShownAndDraggedThroughItsQuietParts) {
    int built = 0;
    sheet.setContent([&built](QWidget* parent) {
        ++built;
        return new QWidget(parent);
    });
    EXPECT_EQ(built, 0);
    EXPECT_FALSE(sheet.content());
    sheet.setPresented(true);
    ASSERT_TRUE(sheet.content());
    EXPECT_EQ(built, 1);
    const QRect content = sheet.content()->geometry();
    EXPECT_EQ(content.top(), int(sheet.panelRect().top() + MacBottomSheet::contentTop));
    EXPECT_EQ(content.width(), sheet.width());

    // A plain widget lets the press through to the sheet: the drag works
    // over the content too.
    QSignalSpy dismissed(&sheet, &MacBottomSheet::dismissed);
    drag(content.center(), 250, 2000, sheet.content());
    EXPECT_EQ(dismissed.count(), 1);
    EXPECT_FALSE(sheet.content());

    sheet.setPresented(true);
    EXPECT_EQ(built, 2);
    sheet.setContent(nullptr);
    EXPECT_FALSE(sheet.content());
}

TEST_F(MacBottomSheetTest, ADragFromAButtonOfTheContentMovesThePanelWithoutAClick) {
    QPushButton* button = nullptr;
    sheet.setContent([&button](QWidget* parent) {
        auto* content = new QWidget(parent);
        button = new QPushButton("Кнопка", content);
        button->setGeometry(20, 40, 200, 44);
        return content;
    });
    sheet.setPresented(true);
    ASSERT_TRUE(button);
    QSignalSpy clicks(button, &QAbstractButton::clicked);
    QSignalSpy dismissed(&sheet, &MacBottomSheet::dismissed);
    const QPointF onButton = sheet.mapFromGlobal(button->mapToGlobal(QPointF(button->rect().center())));

    drag(onButton, 0, 80, button);  // a tap: the button's own
    EXPECT_EQ(clicks.count(), 1);
    EXPECT_EQ(dismissed.count(), 0);

    drag(onButton, 120, 2000, button);  // a drag: the panel's, and springs back
    EXPECT_EQ(clicks.count(), 1);
    EXPECT_FALSE(button->isDown());
    EXPECT_EQ(dismissed.count(), 0);
    EXPECT_EQ(sheet.dragOffset(), 0);

    drag(onButton, 250, 2000, button);
    EXPECT_EQ(clicks.count(), 1);
    EXPECT_EQ(dismissed.count(), 1);
}

TEST_F(MacBottomSheetTest, ThePanelRisesAndLeavesOnItsSpringAndTheContentGoesOnceItHasLeft) {
    Animations::setEnabled(true);
    sheet.setContent([](QWidget* parent) { return new QWidget(parent); });
    sheet.setPresented(true);
    EXPECT_GE(sheet.panelRect().top(), sheet.height());  // starts below the bottom edge
    QTRY_COMPARE(sheet.panelRect().bottom(), double(sheet.height()));
    QPointer<QWidget> content = sheet.content();
    ASSERT_TRUE(content);

    sheet.setPresented(false);
    EXPECT_TRUE(content);  // it leaves with the panel
    EXPECT_TRUE(sheet.isVisible());
    QTRY_VERIFY(!content);
    EXPECT_FALSE(sheet.isVisible());
}

TEST(SpringTest, SettlesOnItsEndWithLittleOvershoot) {
    const Spring spring = MacBottomSheet::presentation;
    EXPECT_EQ(spring.at(0), 0);
    double peak = 0;
    for (int ms = 0; ms <= spring.settleMs(); ++ms) peak = std::max(peak, spring.at(ms / 1000.0));
    EXPECT_GT(peak, 1);
    EXPECT_LT(peak, 1.01);
    EXPECT_NEAR(spring.at(spring.settleMs() / 1000.0), 1, 0.001);
    EXPECT_NEAR(Spring({0.3, 1}).at(Spring({0.3, 1}).settleMs() / 1000.0), 1, 0.001);
}

TEST(TopRoundedRectangleTest, RoundsTheTopCornersWithQuadraticCurves) {
    const QPainterPath path = TopRoundedRectangle{18}.path(QRectF(10, 20, 100, 50));
    // Move, line, quad (as a cubic: control points and end), line, quad, line, close.
    ASSERT_GE(path.elementCount(), 9);
    EXPECT_EQ(QPointF(path.elementAt(0)), QPointF(10, 70));
    EXPECT_EQ(QPointF(path.elementAt(1)), QPointF(10, 38));
    EXPECT_EQ(QPointF(path.elementAt(4)), QPointF(28, 20));
    EXPECT_EQ(QPointF(path.elementAt(5)), QPointF(92, 20));
    EXPECT_EQ(QPointF(path.elementAt(8)), QPointF(110, 38));
    EXPECT_TRUE(path.contains(QPointF(60, 21)));
    EXPECT_FALSE(path.contains(QPointF(11, 21)));  // cut off the corner
    EXPECT_TRUE(path.contains(QPointF(11, 69)));   // square at the bottom
}

}  // namespace
}  // namespace kavri
