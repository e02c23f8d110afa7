#include "ui/style/spinner.h"

#include <QPen>

#include <algorithm>
#include <cmath>

#include "ui/style/animations.h"

namespace kavri {

Spinner::Spinner(QObject* parent) : QObject(parent) {
    timer_.setInterval(1000 / spokes);
    connect(&timer_, &QTimer::timeout, this, [this] {
        step_ = (step_ + 1) % spokes;
        emit changed();
    });
}

void Spinner::setRunning(bool on) {
    if (on && Animations::enabled()) {
        if (!timer_.isActive()) timer_.start();
    } else {
        timer_.stop();
    }
}

void Spinner::paint(QPainter& painter, const QRectF& rect, const QColor& tint, int step) {
    const double side = std::min(rect.width(), rect.height());
    const double outer = side / 2;
    const double inner = outer * 0.45;
    const double width = side * 0.09;
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.translate(rect.center());
    for (int i = 0; i < spokes; ++i) {
        // The spoke at `step` is in front; the ones behind it fade.
        const int behind = (step - i + spokes) % spokes;
        QColor c = tint;
        c.setAlphaF(float(tint.alphaF() * (1.0 - 0.75 * behind / double(spokes - 1))));
        QPen pen(c, width, Qt::SolidLine, Qt::RoundCap);
        painter.setPen(pen);
        const double a = 2 * M_PI * i / spokes - M_PI / 2;
        const double dx = std::cos(a), dy = std::sin(a);
        const double r0 = inner + width / 2, r1 = outer - width / 2;
        painter.drawLine(QPointF(dx * r0, dy * r0), QPointF(dx * r1, dy * r1));
    }
    painter.restore();
}

}  // namespace kavri
