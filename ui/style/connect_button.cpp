#include "ui/style/connect_button.h"

#include <QPainter>

#include <cmath>

namespace kavri {

ConnectButton::ConnectButton(QWidget* parent) : PressableButton(MacConnectButtonStyle::feedback, parent) {
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    connect(&spinner_, &Spinner::changed, this, [this] { update(); });
}

void ConnectButton::setBusy(bool busy) {
    if (busy == busy_) return;
    busy_ = busy;
    spinner_.setRunning(busy_ && isVisible());
    update();
}

void ConnectButton::showEvent(QShowEvent* event) {
    PressableButton::showEvent(event);
    spinner_.setRunning(busy_);
}

void ConnectButton::hideEvent(QHideEvent* event) {
    PressableButton::hideEvent(event);
    spinner_.setRunning(false);
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
    if (busy_) {
        const QRectF square(frame.center().x() - spinnerSide / 2, frame.center().y() - spinnerSide / 2, spinnerSide,
                            spinnerSide);
        Spinner::paint(painter, square, Qt::black, spinner_.step());
        return;
    }
    painter.setPen(style_.foreground);
    painter.setFont(MacConnectButtonStyle::font());
    painter.drawText(frame, Qt::AlignCenter, text());
}

}  // namespace kavri
