#include "ui/main/stack_card.h"

#include <gtest/gtest.h>

#include <QSignalSpy>
#include <QTest>

#include "tests/ui/qt_app.h"
#include "ui/style/animations.h"

namespace kavri {
namespace {

StackAPI::Snapshot stack(bool manualAllowed, std::string mode, std::optional<std::string> country, bool online,
                         bool effective = false) {
    StackAPI::Snapshot s;
    s.manualAllowed = manualAllowed;
    s.location.mode = std::move(mode);
    s.location.label = "Германия";
    s.location.countryCode = std::move(country);
    s.location.online = online;
    if (effective) s.effective = StackAPI::Snapshot::Effective{"Франкфурт", "DE", "VLESS"};
    return s;
}

TEST(StackCardTest, TheLookFollowsTheStackAndTheBusyFlag) {
    using T = StackCard::Trailing;
    const QString de = QString::fromStdString(flagEmoji("DE"));
    const PaletteTint lockedBorder{PaletteColor::muted, 0.45};
    const PaletteTint manualBorder{PaletteColor::accent, 1};
    const struct {
        const char* what;
        StackAPI::Snapshot stack;
        bool busy;
        std::optional<QString> flag;
        PaletteColor bolt, title;
        std::optional<PaletteTint> border;
        T trailing;
    } rows[] = {
        {"automatic", stack(true, "auto", "DE", true), false, {}, PaletteColor::accent, PaletteColor::text, {}, T::chevron},
        {"automatic offline", stack(true, "auto", "DE", false), false, {}, PaletteColor::accent, PaletteColor::text, {}, T::chevron},
        {"manual", stack(true, "manual", "DE", true), false, de, PaletteColor::accent, PaletteColor::text, manualBorder, T::chevron},
        {"manual offline", stack(true, "manual", "DE", false), false, de, PaletteColor::accent, PaletteColor::text, manualBorder, T::offlineDot},
        {"manual without a code", stack(true, "manual", {}, true), false, {}, PaletteColor::accent, PaletteColor::text, manualBorder, T::chevron},
        {"other case", stack(true, "Manual", "DE", false), false, {}, PaletteColor::accent, PaletteColor::text, {}, T::chevron},
        {"locked manual", stack(false, "manual", "DE", false), false, de, PaletteColor::muted, PaletteColor::muted, lockedBorder, T::proChip},
        {"locked automatic", stack(false, "auto", {}, true), false, {}, PaletteColor::muted, PaletteColor::muted, lockedBorder, T::proChip},
        {"locked and busy", stack(false, "auto", {}, true), true, {}, PaletteColor::muted, PaletteColor::muted, lockedBorder, T::spinner},
        {"manual offline and busy", stack(true, "manual", "DE", false), true, de, PaletteColor::accent, PaletteColor::text, manualBorder, T::spinner},
    };
    for (const auto& row : rows) {
        const auto look = StackCard::lookOf(row.stack, true, row.busy);
        EXPECT_EQ(look.flag, row.flag) << row.what;
        if (!look.flag) {
            EXPECT_EQ(look.boltColor, row.bolt) << row.what;
        }
        EXPECT_EQ(look.title, "Германия") << row.what;
        EXPECT_EQ(look.titleColor, row.title) << row.what;
        EXPECT_EQ(look.border, row.border) << row.what;
        EXPECT_EQ(look.trailing, row.trailing) << row.what;
        EXPECT_EQ(look.enabled, !row.busy) << row.what;
    }
    const auto withEffective = stack(true, "auto", {}, true, true);
    EXPECT_EQ(StackCard::lookOf(withEffective, true, false).subtitle, QString("Франкфурт · VLESS"));
    EXPECT_FALSE(StackCard::lookOf(withEffective, false, false).subtitle);
    EXPECT_FALSE(StackCard::lookOf(stack(true, "auto", {}, true), true, false).subtitle);
}

TEST(StackCardTest, ABusyCardTakesNoTapsAndTakesThemAgainAfterwards) {
    test::qtApp();
    Animations::setEnabled(false);
    StackCard card;
    card.resize(315, int(StackCard::height));
    card.show();
    QSignalSpy clicks(&card, &QAbstractButton::clicked);
    card.setInputs(stack(true, "manual", "DE", true), true, true);
    QTest::mouseClick(&card, Qt::LeftButton, {}, card.rect().center());
    EXPECT_EQ(clicks.count(), 0);
    card.setInputs(stack(true, "manual", "DE", true), true, false);
    QTest::mouseClick(&card, Qt::LeftButton, {}, card.rect().center());
    EXPECT_EQ(clicks.count(), 1);
    Animations::setEnabled(true);
}

}  // namespace
}  // namespace kavri
