#include "ui/main/stack/protocol_connect_button.h"

#include <QPainter>
#include <QPainterPath>

#include "ui/style/fonts.h"

namespace kavri {

ProtocolConnectButton::ProtocolConnectButton(QWidget* parent) : PressableButton(PressFeedback{1, 1, 0}, parent) {
    setFixedHeight(int(buttonHeight));
}

void ProtocolConnectButton::setLook(const QString& text, const QColor& textColor, const QColor& fill) {
    setText(text);
    textColor_ = textColor;
    fill_ = fill;
    update();
}

void ProtocolConnectButton::paintLabel(QPainter& p, const QRectF& rect) {
    QPainterPath shape;
    shape.addRoundedRect(rect, cornerRadius, cornerRadius);
    p.fillPath(shape, fill_);
    p.setFont(Fonts::system(17, QFont::DemiBold));
    p.setPen(textColor_);
    p.drawText(rect, Qt::AlignCenter, text());
}

}  // namespace kavri
