#pragma once

#include <QString>

#include <optional>

#include "api/stack_api.h"
#include "ui/main/stack/flag_emoji.h"
#include "ui/style/palette_color.h"
#include "ui/style/pressable_button.h"
#include "ui/style/spinner.h"

namespace kavri {

// The main window's summary of the user's stack: the flag of a location
// chosen by hand (else a lightning mark), the location's label, what is
// really in effect, and a mark at its end: a spinner while a switch runs,
// "PRO" when the account may not choose by hand, a red dot when the chosen
// location is offline, else a chevron. A tap asks for the location sheet;
// it takes no taps while busy.
class StackCard : public PressableButton {
    Q_OBJECT
public:
    static constexpr double height = 54;
    static constexpr double cornerRadius = 14;
    static constexpr double paddingX = 16;
    static constexpr double spacing = 12;
    static constexpr double minSpacer = 8;
    static constexpr double flagSize = 22;
    static constexpr double boltSize = 15;
    static constexpr double boltFrame = 24;
    static constexpr double titleSize = 15;
    static constexpr double subtitleSize = 12;
    static constexpr double lineSpacing = 2;
    static constexpr double spinnerFrame = 16;
    static constexpr double spinnerScale = 0.75;

    enum class Trailing { spinner, proChip, offlineDot, chevron };

    // What the card draws for its inputs.
    struct Look {
        std::optional<QString> flag;   // else the lightning mark
        PaletteColor boltColor = PaletteColor::accent;
        QString title;
        PaletteColor titleColor = PaletteColor::text;
        std::optional<QString> subtitle;  // "<location> · <protocol>" in effect
        // Palette colour at an opacity, or white at 0.18 when absent.
        std::optional<PaletteTint> border;
        Trailing trailing = Trailing::chevron;
        bool enabled = true;

        bool operator==(const Look&) const = default;
    };

    static Look lookOf(const StackAPI::Snapshot& stack, bool showsEffective, bool busy);

    explicit StackCard(QWidget* parent = nullptr);

    void setInputs(const StackAPI::Snapshot& stack, bool showsEffective, bool busy);
    const Look& look() const { return look_; }
    QSize sizeHint() const override;

protected:
    void paintLabel(QPainter& painter, const QRectF& rect) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    Look look_;
    Spinner spinner_;
};

}  // namespace kavri
