#include "ui/main/stack/stack_row_button.h"

#include <QFontMetricsF>
#include <QPainter>
#include <QPainterPath>

#include "ui/style/fonts.h"
#include "ui/style/palette.h"
#include "ui/style/qt_text.h"
#include "ui/style/symbols.h"

namespace kavri {

namespace {

constexpr double leadingWidth = 28;  // the bolt or the flag
constexpr double trailingSpacing = 10;

// The side of a symbol drawn "in the system font at `points`".
double symbolSide(double points) { return Symbols::side(Fonts::system(points)); }

// Draws a symbol with its right edge at `right`, centred on `midY`; returns its left edge.
double symbolFromRight(QPainter& p, const char* name, double points, double right, double midY, const QColor& tint) {
    const double side = symbolSide(points);
    Symbols::paint(p, name, QRectF(right - side, midY - side / 2, side, side), tint);
    return right - side;
}

void outline(QPainter& p, const QRectF& rect, const QColor& color) {
    if (color.alpha() == 0) return;
    QPainterPath shape;
    const QRectF r = rect.adjusted(0.5, 0.5, -0.5, -0.5);
    shape.addRoundedRect(r, StackRowButton::cornerRadius, StackRowButton::cornerRadius);
    p.setPen(QPen(color, 1));
    p.setBrush(Qt::NoBrush);
    p.drawPath(shape);
}

}  // namespace

StackRowButton::StackRowButton(QWidget* parent) : PressableButton(PressFeedback{1, 1, 0}, parent) {
    setFixedHeight(int(height));
}

void StackRowButton::setRow(StackSheetState::AutoRow row) {
    row_ = std::move(row);
    update();
}

void StackRowButton::setRow(StackSheetState::LocationRow row) {
    row_ = std::move(row);
    update();
}

void StackRowButton::paintLabel(QPainter& painter, const QRectF& rect) {
    if (const auto* a = std::get_if<StackSheetState::AutoRow>(&row_)) paintAuto(painter, rect, *a);
    if (const auto* l = std::get_if<StackSheetState::LocationRow>(&row_)) paintLocation(painter, rect, *l);
}

void StackRowButton::paintAuto(QPainter& p, const QRectF& rect, const StackSheetState::AutoRow& row) {
    const double midY = rect.center().y();
    const QRectF content = rect.adjusted(paddingX, 0, -paddingX, 0);
    const double bolt = symbolSide(16);
    Symbols::paint(p, "bolt.fill", QRectF(content.left() + (leadingWidth - bolt) / 2, midY - bolt / 2, bolt, bolt),
                   Palette::accent());
    double right = content.right();
    if (row.current) right = symbolFromRight(p, "checkmark", 13, right, midY, Palette::accent()) - spacing;

    const double textLeft = content.left() + leadingWidth + spacing;
    const QFont titleFont = Fonts::system(16);
    const QFont subtitleFont = Fonts::system(12);
    const QFontMetricsF tm(titleFont), sm(subtitleFont);
    const double textHeight = tm.height() + (row.subtitle ? 2 + sm.height() : 0);
    double y = midY - textHeight / 2;
    const double width = right - textLeft;
    p.setFont(titleFont);
    p.setPen(Palette::text());
    p.drawText(QRectF(textLeft, y, width, tm.height()), Qt::AlignLeft | Qt::AlignVCenter,
               tm.elidedText(q(row.title), Qt::ElideRight, width));
    if (row.subtitle) {
        y += tm.height() + 2;
        p.setFont(subtitleFont);
        p.setPen(Palette::textSecondary());
        p.drawText(QRectF(textLeft, y, width, sm.height()), Qt::AlignLeft | Qt::AlignVCenter,
                   sm.elidedText(q(*row.subtitle), Qt::ElideRight, width));
    }
    outline(p, rect, row.current ? Palette::accent() : Palette::withOpacity(Palette::muted(), 0.5));
}

void StackRowButton::paintLocation(QPainter& p, const QRectF& rect, const StackSheetState::LocationRow& row) {
    using Trailing = StackSheetState::LocationRow::Trailing;
    const double midY = rect.center().y();
    const QRectF content = rect.adjusted(paddingX, 0, -paddingX, 0);

    p.setFont(Fonts::emoji(22));
    p.setPen(Palette::text());
    p.drawText(QRectF(content.left(), rect.top(), leadingWidth, rect.height()), Qt::AlignCenter, q(row.flag));

    // The trailing stack, right to left.
    double right = content.right();
    bool any = false;
    const auto gap = [&] { return any ? trailingSpacing : 0.0; };
    if (row.trailing == Trailing::chevron) {
        right = symbolFromRight(p, "chevron.right", 13, right, midY, Palette::textSecondary());
        any = true;
    } else if (row.trailing == Trailing::lock) {
        right = symbolFromRight(p, "lock.fill", 12, right, midY, Palette::accent());
        any = true;
    }
    if (row.current) {
        right = symbolFromRight(p, "checkmark", 13, right - gap(), midY, Palette::accent());
        any = true;
    }
    if (row.offlinePill) {
        const QFont font = Fonts::system(11, QFont::Medium);
        const QFontMetricsF m(font);
        const QString text = "не в сети";
        const QSizeF size(m.horizontalAdvance(text) + 16, m.height() + 8);
        const QRectF pill(right - gap() - size.width(), midY - size.height() / 2, size.width(), size.height());
        QPainterPath shape;
        shape.addRoundedRect(pill, 6, 6);
        p.fillPath(shape, Palette::withOpacity(Palette::muted(), 0.15));
        p.setFont(font);
        p.setPen(Palette::muted());
        p.drawText(pill, Qt::AlignCenter, text);
        right = pill.left();
        any = true;
    } else if (row.latency) {
        const QFont font = Fonts::system(13);
        const QFontMetricsF m(font);
        const QString text = q(row.latency->text);
        const double w = m.horizontalAdvance(text);
        p.setFont(font);
        p.setPen(Palette::color(row.latency->color));
        const QRectF box(right - gap() - w, rect.top(), w, rect.height());
        p.drawText(box, Qt::AlignRight | Qt::AlignVCenter, text);
        right = box.left();
        any = true;
    }

    const double textLeft = content.left() + leadingWidth + spacing;
    const double width = right - spacing - textLeft;
    const QFont titleFont = Fonts::system(16);
    p.setFont(titleFont);
    p.setPen(Palette::color(row.titleColor));
    p.drawText(QRectF(textLeft, rect.top(), width, rect.height()), Qt::AlignLeft | Qt::AlignVCenter,
               QFontMetricsF(titleFont).elidedText(q(row.title), Qt::ElideRight, width));

    outline(p, rect, row.current ? Palette::accent() : Qt::transparent);
}

}  // namespace kavri
