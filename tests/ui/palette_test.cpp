#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

#include "tests/ui/qt_app.h"
#include "ui/style/animations.h"
#include "ui/style/button_styles.h"
#include "ui/style/connect_button.h"
#include "ui/style/palette.h"

namespace kavri {
namespace {

TEST(PaletteTest, TheOwnColoursAreExactSrgbValuesAndTheNamedOnesShareOneInstance) {
    struct Row {
        PaletteColor name;
        double r, g, b;
    };
    const Row rows[] = {
        {PaletteColor::background, 0.1, 0.1, 0.18}, {PaletteColor::card, 0.14, 0.14, 0.22},
        {PaletteColor::accent, 0.95, 0.77, 0.06},   {PaletteColor::danger, 0.91, 0.3, 0.24},
        {PaletteColor::haloGlow, 0.98, 0.82, 0.18}, {PaletteColor::muted, 0.45, 0.46, 0.55},
    };
    for (const auto& row : rows) {
        const QColor& c = Palette::color(row.name);
        EXPECT_NEAR(c.redF(), row.r, 1e-4);
        EXPECT_NEAR(c.greenF(), row.g, 1e-4);
        EXPECT_NEAR(c.blueF(), row.b, 1e-4);
        EXPECT_EQ(c.alphaF(), 1.0);
        EXPECT_EQ(&Palette::color(row.name), &Palette::color(row.name));
    }
    // Secondary text is white made transparent, not a grey.
    EXPECT_EQ(Palette::textSecondary().rgb(), QColor(Qt::white).rgb());
    EXPECT_NEAR(Palette::textSecondary().alphaF(), 0.6, 1e-3);
    EXPECT_NEAR(Palette::color(PaletteColor::textSecondary, 0.55).alphaF(), 0.6 * 0.55, 1e-3);
}

TEST(ButtonStyleTest, PressFeedbackOfEachStyle) {
    EXPECT_EQ(LogoPressStyle::feedback, (PressFeedback{0.94, 0.85, 120}));
    EXPECT_EQ(MacConnectButtonStyle::feedback, (PressFeedback{1, 0.85, 120}));
    EXPECT_EQ(MacPrimaryButtonStyle::feedback, (PressFeedback{0.97, 1, 120}));
    EXPECT_EQ(StackPressStyle::feedback, (PressFeedback{0.97, 1, 100}));
}

TEST(ButtonStyleTest, ThePressedLookComesAndGoesWithThePressedFlagWhateverTheEnabledState) {
    test::qtApp();
    Animations::setEnabled(false);
    ConnectButton button;
    button.resize(300, 61);
    button.show();
    QTest::mousePress(&button, Qt::LeftButton);
    EXPECT_DOUBLE_EQ(button.currentOpacity(), 0.85);
    EXPECT_DOUBLE_EQ(button.currentScale(), 1.0);
    QTest::mouseRelease(&button, Qt::LeftButton);
    EXPECT_DOUBLE_EQ(button.currentOpacity(), 1.0);

    QSignalSpy clicks(&button, &QAbstractButton::clicked);
    button.setEnabled(false);
    QTest::mouseClick(&button, Qt::LeftButton);
    EXPECT_EQ(clicks.count(), 0);
    Animations::setEnabled(true);
}

}  // namespace
}  // namespace kavri
