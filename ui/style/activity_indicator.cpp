#include "ui/style/activity_indicator.h"

#include <QPainter>

#include <cmath>

#include "ui/style/animations.h"
#include "ui/style/palette.h"

namespace kavri {

ActivityIndicator::ActivityIndicator(QWidget* parent) : QWidget(parent) {
    setFixedSize(side, side);
    timer_.setInterval(100);
    connect(&timer_, &QTimer::timeout, this, [this] {
        step_ = (step_ + 1) % 8;
        update();
    });
}

void ActivityIndicator::paint(QPainter& painter, const QRectF& rect, int step) {
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    const double r = std::min(rect.width(), rect.height()) / 2;
    painter.translate(rect.center());
    for (int i = 0; i < 8; ++i) {
        // The spoke at `step` is the brightest, the ones behind it fade.
        const int age = (step - i + 8) % 8;
        painter.setPen(QPen(Palette::withOpacity(Palette::text(), 1.0 - age * 0.11), r * 0.22, Qt::SolidLine,
                            Qt::RoundCap));
        const double a = i * M_PI / 4 - M_PI / 2;
        painter.drawLine(QPointF(std::cos(a) * r * 0.45, std::sin(a) * r * 0.45),
                         QPointF(std::cos(a) * r * 0.85, std::sin(a) * r * 0.85));
    }
    painter.restore();
}

void ActivityIndicator::paintEvent(QPaintEvent*) {
    QPainter p(this);
    paint(p, QRectF(rect()), step_);
}

void ActivityIndicator::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (Animations::enabled()) timer_.start();
}

void ActivityIndicator::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    timer_.stop();
}

}  // namespace kavri
