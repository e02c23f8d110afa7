#include "ui/main/stack/protocol_row_button.h"

#include <QFontMetricsF>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>

#include "ui/style/fonts.h"
#include "ui/style/palette.h"
#include "ui/style/qt_text.h"
#include "ui/style/symbols.h"

namespace kavri {

namespace {

constexpr double markPoints = 18;
constexpr double markTop = 2;
constexpr double titleBadgeSpacing = 8;
constexpr double lineSpacing = 3;

double markSide() { return Symbols::side(Fonts::system(markPoints)); }
QFont titleFont() { return Fonts::system(16); }
QFont badgeFont() { return Fonts::system(10, QFont::Bold); }
QFont secondFont() { return Fonts::system(12); }
double badgeHeight() { return QFontMetricsF(badgeFont()).height() + 6; }
double firstLineHeight() { return std::max(QFontMetricsF(titleFont()).height(), badgeHeight()); }

}  // namespace

ProtocolRowButton::ProtocolRowButton(QWidget* parent) : PressableButton(PressFeedback{1, 1, 0}, parent) {}

void ProtocolRowButton::setRow(ProtocolScreenState::Row row) {
    row_ = std::move(row);
    setFixedHeight(int(std::ceil(rowHeight())));
    update();
}

double ProtocolRowButton::rowHeight() const {
    double text = firstLineHeight();
    if (row_.secondLine) text += lineSpacing + QFontMetricsF(secondFont()).height();
    return 2 * paddingY + std::max(text, markTop + markSide());
}

void ProtocolRowButton::paintLabel(QPainter& p, const QRectF& rect) {
    const double top = rect.top() + paddingY;
    const double side = markSide();
    const double lineHeight = firstLineHeight();
    Symbols::paint(p, row_.chosen ? "largecircle.fill.circle" : "circle",
                   QRectF(rect.left(), top + markTop, side, side), Palette::color(row_.markColor));

    const double left = rect.left() + side + spacing;
    const double width = rect.right() - left;
    const QFontMetricsF tm(titleFont());
    const QString title = q(row_.title);
    double titleWidth = tm.horizontalAdvance(title);
    double badgeWidth = 0;
    if (row_.badge) badgeWidth = QFontMetricsF(badgeFont()).horizontalAdvance(q(*row_.badge)) + 14;
    titleWidth = std::min(titleWidth, width - (row_.badge ? badgeWidth + titleBadgeSpacing : 0));
    p.setFont(titleFont());
    p.setPen(Palette::color(row_.titleColor));
    p.drawText(QRectF(left, top, titleWidth, lineHeight), Qt::AlignLeft | Qt::AlignVCenter,
               tm.elidedText(title, Qt::ElideRight, titleWidth));
    if (row_.badge) {
        const QRectF badge(left + titleWidth + titleBadgeSpacing, top + (lineHeight - badgeHeight()) / 2, badgeWidth,
                           badgeHeight());
        QPainterPath capsule;
        capsule.addRoundedRect(badge, badge.height() / 2, badge.height() / 2);
        p.fillPath(capsule, Palette::withOpacity(Palette::accent(), 0.18));
        p.setFont(badgeFont());
        p.setPen(Palette::accent());
        p.drawText(badge, Qt::AlignCenter, q(*row_.badge));
    }
    if (row_.secondLine) {
        const QFontMetricsF sm(secondFont());
        p.setFont(secondFont());
        p.setPen(Palette::textSecondary());
        p.drawText(QRectF(left, top + lineHeight + lineSpacing, width, sm.height()), Qt::AlignLeft | Qt::AlignVCenter,
                   sm.elidedText(q(*row_.secondLine), Qt::ElideRight, width));
    }
}

}  // namespace kavri
