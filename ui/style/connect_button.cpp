#include "ui/style/connect_button.h"

#include <QPainter>

#include <cmath>

namespace kavri {

ConnectButton::ConnectButton(QWidget* parent) : PressableButton(MacConnectButtonStyle::feedback, parent) {
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

void ConnectButton::setStyle(const MacConnectButtonStyle& style) {
    style_ = style;
    update();
}

QSize ConnectButton::sizeHint() const { return QSize(200, int(std::ceil(MacConnectButtonStyle::height))); }

void ConnectButton::paintLabel(QPainter& painter, const QRectF& rect) {
    const QRectF frame(rect.x(), rect.center().y() - MacConnectButtonStyle::height / 2, rect.width(),
                       MacConnectButtonStyle::height);
    style_.paintBackground(painter, frame);
    painter.setPen(style_.foreground);
    painter.setFont(MacConnectButtonStyle::font());
    painter.drawText(frame, Qt::AlignCenter, text());
}

}  // namespace kavri
