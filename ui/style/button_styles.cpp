#include "ui/style/button_styles.h"

#include <QPainterPath>

#include "ui/style/fonts.h"

namespace kavri {

QFont MacConnectButtonStyle::font() { return Fonts::system(fontSize, QFont::DemiBold); }

void MacConnectButtonStyle::paintBackground(QPainter& painter, const QRectF& rect) const {
    QPainterPath shape;
    shape.addRoundedRect(rect, cornerRadius, cornerRadius);
    painter.fillPath(shape, background);
}

QFont MacPrimaryButtonStyle::font() { return Fonts::system(fontSize, QFont::DemiBold); }

}  // namespace kavri
