#include "ui/style/plain_button.h"

#include <QFontMetricsF>
#include <QPainterPath>

#include <algorithm>
#include <cmath>

#include "ui/style/symbols.h"

namespace kavri {

PlainButton::PlainButton(const QString& text, Look look, QWidget* parent)
    : PressableButton(PressFeedback{1, 1, 0}, parent), look_(std::move(look)) {
    setText(text);
}

void PlainButton::setLook(Look look) {
    look_ = std::move(look);
    updateGeometry();
    update();
}

double PlainButton::symbolSide() const {
    return look_.symbol.isEmpty() ? 0 : Symbols::side(look_.symbolFont);
}

QSizeF PlainButton::naturalSize() const {
    const QFontMetricsF m(look_.font);
    double w = m.horizontalAdvance(text());
    double h = m.height();
    if (!look_.symbol.isEmpty()) {
        w += symbolSide() + look_.spacing;
        h = std::max(h, QFontMetricsF(look_.symbolFont).height());
    }
    return {w + 2 * look_.paddingX, h + 2 * look_.paddingY};
}

QSize PlainButton::sizeHint() const {
    const QSizeF s = naturalSize();
    return QSize(int(std::ceil(s.width())), int(std::ceil(s.height())));
}

void PlainButton::paintLabel(QPainter& painter, const QRectF& rect) {
    if (look_.fill.alpha() > 0 || look_.outline.alpha() > 0) {
        const QRectF r = rect.adjusted(0.5, 0.5, -0.5, -0.5);
        QPainterPath capsule;
        capsule.addRoundedRect(r, r.height() / 2, r.height() / 2);
        painter.fillPath(capsule, look_.fill);
        painter.setPen(QPen(look_.outline, 1));
        painter.drawPath(capsule);
    }
    QRectF content = rect.adjusted(look_.paddingX, look_.paddingY, -look_.paddingX, -look_.paddingY);
    if (!look_.symbol.isEmpty()) {
        const double side = symbolSide();
        Symbols::paint(painter, look_.symbol, QRectF(content.x(), content.center().y() - side / 2, side, side),
                       look_.color);
        content.setLeft(content.left() + side + look_.spacing);
    }
    painter.setPen(look_.color);
    painter.setFont(look_.font);
    painter.drawText(content, Qt::AlignVCenter | (look_.centered ? Qt::AlignHCenter : Qt::AlignLeft), text());
}

}  // namespace kavri
