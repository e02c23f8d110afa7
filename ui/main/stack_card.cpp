#include "ui/main/stack_card.h"

#include <QFontMetricsF>
#include <QPainterPath>

#include <algorithm>

#include "ui/style/button_styles.h"
#include "ui/style/fonts.h"
#include "ui/style/palette.h"
#include "ui/style/qt_text.h"
#include "ui/style/symbols.h"

namespace kavri {

namespace {

constexpr double chipPaddingX = 8;
constexpr double chipPaddingY = 4;
constexpr double chipSpacing = 6;
constexpr double dotSide = 6;
constexpr double trailingSpacing = 6;
constexpr double chipFillOpacity = 0.18;
constexpr double lockedBorderOpacity = 0.45;
constexpr double plainBorderOpacity = 0.18;

QFont flagFont() { return Fonts::emoji(StackCard::flagSize); }
QFont boltFont() { return Fonts::system(StackCard::boltSize, QFont::DemiBold); }
QFont titleFont() { return Fonts::system(StackCard::titleSize, QFont::Medium); }
QFont subtitleFont() { return Fonts::system(StackCard::subtitleSize); }
QFont chevronFont() { return Fonts::system(13, QFont::DemiBold); }
QFont lockFont() { return Fonts::system(11, QFont::DemiBold); }
QFont proFont() { return Fonts::system(10, QFont::Bold); }

// A symbol drawn at a font's size takes a square this wide.
double symbolSide(const QFont& font) { return QFontMetricsF(font).capHeight() * 1.25; }

}  // namespace

StackCard::Look StackCard::lookOf(const StackAPI::Snapshot& stack, bool showsEffective, bool busy) {
    const bool manual = stack.location.isManual();
    const bool locked = !stack.manualAllowed;
    Look l;
    if (manual && stack.location.countryCode) l.flag = q(flagEmoji(*stack.location.countryCode));
    l.boltColor = locked ? PaletteColor::muted : PaletteColor::accent;
    l.title = q(stack.location.label);
    l.titleColor = locked ? PaletteColor::muted : PaletteColor::text;
    if (showsEffective && stack.effective)
        l.subtitle = q(stack.effective->locationLabel) + " · " + q(stack.effective->protocolLabel);
    if (locked)
        l.border = PaletteTint{PaletteColor::muted, lockedBorderOpacity};
    else if (manual)
        l.border = PaletteTint{PaletteColor::accent, 1};
    if (busy)
        l.trailing = Trailing::spinner;
    else if (locked)
        l.trailing = Trailing::proChip;
    else if (manual && !stack.location.online)
        l.trailing = Trailing::offlineDot;
    else
        l.trailing = Trailing::chevron;
    l.enabled = !busy;
    return l;
}

StackCard::StackCard(QWidget* parent) : PressableButton(StackPressStyle::feedback, parent) {
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    connect(&spinner_, &Spinner::changed, this, [this] { update(); });
}

void StackCard::setInputs(const StackAPI::Snapshot& stack, bool showsEffective, bool busy) {
    const Look next = lookOf(stack, showsEffective, busy);
    if (next == look_) return;
    look_ = next;
    setEnabled(look_.enabled);
    spinner_.setRunning(isVisible() && look_.trailing == Trailing::spinner);
    update();
}

QSize StackCard::sizeHint() const { return QSize(200, int(height)); }

void StackCard::showEvent(QShowEvent* event) {
    PressableButton::showEvent(event);
    spinner_.setRunning(look_.trailing == Trailing::spinner);
}

void StackCard::hideEvent(QHideEvent* event) {
    PressableButton::hideEvent(event);
    spinner_.setRunning(false);
}

void StackCard::paintLabel(QPainter& p, const QRectF& rect) {
    const QRectF card(rect.x(), rect.center().y() - height / 2, rect.width(), height);
    QPainterPath shape;
    shape.addRoundedRect(card, cornerRadius, cornerRadius);
    p.fillPath(shape, Palette::card());

    // The trailing mark first: the texts take what is left.
    double right = card.right() - paddingX;
    const double cy = card.center().y();
    switch (look_.trailing) {
        case Trailing::spinner: {
            const QRectF frame(right - spinnerFrame, cy - spinnerFrame / 2, spinnerFrame, spinnerFrame);
            const double side = spinnerFrame * spinnerScale;
            Spinner::paint(p, QRectF(frame.center().x() - side / 2, cy - side / 2, side, side),
                           Palette::textSecondary(), spinner_.step());
            right = frame.left();
            break;
        }
        case Trailing::proChip: {
            const double lockSide = symbolSide(lockFont());
            const QFontMetricsF pm(proFont());
            const double proW = pm.horizontalAdvance("PRO");
            const double contentH = std::max(lockSide, pm.height());
            const double w = chipPaddingX * 2 + lockSide + chipSpacing + proW;
            const double h = contentH + chipPaddingY * 2;
            const QRectF chip(right - w, cy - h / 2, w, h);
            QPainterPath capsule;
            capsule.addRoundedRect(chip, h / 2, h / 2);
            p.fillPath(capsule, Palette::withOpacity(Palette::accent(), chipFillOpacity));
            double x = chip.left() + chipPaddingX;
            Symbols::paint(p, "lock.fill", QRectF(x, cy - lockSide / 2, lockSide, lockSide), Palette::accent());
            x += lockSide + chipSpacing;
            p.setFont(proFont());
            p.setPen(Palette::accent());
            p.drawText(QRectF(x, chip.top(), proW + 1, h), Qt::AlignLeft | Qt::AlignVCenter, "PRO");
            right = chip.left();
            break;
        }
        case Trailing::offlineDot:
        case Trailing::chevron: {
            const double side = symbolSide(chevronFont());
            Symbols::paint(p, "chevron.right", QRectF(right - side, cy - side / 2, side, side),
                           Palette::textSecondary());
            right -= side;
            if (look_.trailing == Trailing::offlineDot) {
                right -= trailingSpacing;
                p.setPen(Qt::NoPen);
                p.setBrush(Palette::danger());
                p.drawEllipse(QRectF(right - dotSide, cy - dotSide / 2, dotSide, dotSide));
                right -= dotSide;
            }
            break;
        }
    }
    right -= minSpacer;

    // The leading mark.
    double x = card.left() + paddingX;
    if (look_.flag) {
        p.setFont(flagFont());
        p.setPen(Palette::text());
        const double w = QFontMetricsF(flagFont()).horizontalAdvance(*look_.flag);
        p.drawText(QRectF(x, card.top(), w + 1, height), Qt::AlignLeft | Qt::AlignVCenter, *look_.flag);
        x += w;
    } else {
        const double side = symbolSide(boltFont()) * 1.15;
        Symbols::paint(p, "bolt.fill", QRectF(x + (boltFrame - side) / 2, cy - side / 2, side, side),
                       Palette::color(look_.boltColor));
        x += boltFrame;
    }
    x += spacing;

    // The label, and what is in effect under it.
    const double textW = std::max(0.0, right - x);
    const QFontMetricsF tm(titleFont());
    const QFontMetricsF sm(subtitleFont());
    const double blockH = tm.height() + (look_.subtitle ? lineSpacing + sm.height() : 0);
    double y = cy - blockH / 2;
    p.setFont(titleFont());
    p.setPen(Palette::color(look_.titleColor));
    p.drawText(QRectF(x, y, textW, tm.height()), Qt::AlignLeft | Qt::AlignVCenter,
               tm.elidedText(look_.title, Qt::ElideRight, textW));
    if (look_.subtitle) {
        y += tm.height() + lineSpacing;
        p.setFont(subtitleFont());
        p.setPen(Palette::textSecondary());
        p.drawText(QRectF(x, y, textW, sm.height()), Qt::AlignLeft | Qt::AlignVCenter,
                   sm.elidedText(*look_.subtitle, Qt::ElideRight, textW));
    }

    // The border over everything, inside the card's edge.
    const QColor border = look_.border ? Palette::color(*look_.border) : Palette::withOpacity(Qt::white, plainBorderOpacity);
    p.setPen(QPen(border, 1));
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(card.adjusted(0.5, 0.5, -0.5, -0.5), cornerRadius - 0.5, cornerRadius - 0.5);
}

}  // namespace kavri
