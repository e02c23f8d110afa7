#include "ui/style/pressable_button.h"

#include <QPainter>

#include "ui/style/animations.h"

namespace kavri {

PressableButton::PressableButton(PressFeedback feedback, QWidget* parent)
    : QAbstractButton(parent), feedback_(feedback) {
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::NoFocus);
    const auto follow = [this](double target) { press_.animateTo(target, feedback_.durationMs, Animations::easeOut()); };
    connect(this, &QAbstractButton::pressed, this, [follow] { follow(1); });
    connect(this, &QAbstractButton::released, this, [follow] { follow(0); });
    connect(&press_, &AnimatedValue::changed, this, [this] { update(); });
}

double PressableButton::currentScale() const { return 1 + (feedback_.scale - 1) * press_.value(); }
double PressableButton::currentOpacity() const { return 1 + (feedback_.opacity - 1) * press_.value(); }

void PressableButton::setDimming(double opacity) {
    if (opacity == dimming_) return;
    dimming_ = opacity;
    update();
}

void PressableButton::setFloatGeometry(const QRectF& r) {
    const QRect whole = r.toAlignedRect();
    float_ = r.translated(-whole.topLeft());
    setGeometry(whole);
    update();
}

QRectF PressableButton::labelRect() const { return float_ ? *float_ : QRectF(rect()); }

void PressableButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing | QPainter::SmoothPixmapTransform);
    painter.setOpacity(dimming_ * currentOpacity());
    const QRectF r = labelRect();
    const double s = currentScale();
    if (s != 1 && !scalesItself_) {
        painter.translate(r.center());
        painter.scale(s, s);
        painter.translate(-r.center());
    }
    paintLabel(painter, r);
}

}  // namespace kavri
