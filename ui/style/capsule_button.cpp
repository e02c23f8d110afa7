#include "ui/style/capsule_button.h"

#include <QFontMetricsF>
#include <QGraphicsDropShadowEffect>
#include <QPainterPath>

#include <cmath>

#include "ui/style/fonts.h"
#include "ui/style/palette.h"

namespace kavri {

CapsuleButton::Look CapsuleButton::bannerLook() {
    return {Fonts::system(14.25, QFont::DemiBold), Palette::background(), Palette::accent(), 26.6, 11.4, 0.42, 16};
}

CapsuleButton::Look CapsuleButton::primaryLook() {
    return {MacPrimaryButtonStyle::font(),        Qt::black,
            Palette::accent(),                    MacPrimaryButtonStyle::paddingX,
            MacPrimaryButtonStyle::paddingY,      MacPrimaryButtonStyle::shadowOpacity,
            MacPrimaryButtonStyle::shadowRadius};
}

CapsuleButton::CapsuleButton(const QString& text, Look look, PressFeedback feedback, QWidget* parent)
    : PressableButton(feedback, parent), look_(std::move(look)) {
    setText(text);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    if (look_.shadowOpacity > 0) {
        // The glow is drawn around the button, outside its own rectangle,
        // and takes no room in the layout.
        auto* glow = new QGraphicsDropShadowEffect(this);
        glow->setOffset(0, 0);
        glow->setBlurRadius(look_.shadowRadius * 2);
        glow->setColor(Palette::withOpacity(look_.fill, look_.shadowOpacity));
        setGraphicsEffect(glow);
    }
}

QSizeF CapsuleButton::capsuleSize() const {
    const QFontMetricsF m(look_.font);
    return {m.horizontalAdvance(text()) + 2 * look_.paddingX, m.height() + 2 * look_.paddingY};
}

QSize CapsuleButton::sizeHint() const {
    const QSizeF s = capsuleSize();
    return QSize(int(std::ceil(s.width())), int(std::ceil(s.height())));
}

QRectF CapsuleButton::capsuleRect() const {
    const QSizeF s = capsuleSize();
    const QRectF r = labelRect();
    return QRectF(r.center().x() - s.width() / 2, r.center().y() - s.height() / 2, s.width(), s.height());
}

void CapsuleButton::paintLabel(QPainter& painter, const QRectF&) {
    const QRectF capsule = capsuleRect();
    QPainterPath shape;
    shape.addRoundedRect(capsule, capsule.height() / 2, capsule.height() / 2);
    painter.fillPath(shape, look_.fill);
    painter.setPen(look_.textColor);
    painter.setFont(look_.font);
    painter.drawText(capsule, Qt::AlignCenter, text());
}

}  // namespace kavri
