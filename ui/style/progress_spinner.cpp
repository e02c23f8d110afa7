#include "ui/style/progress_spinner.h"

#include <QPainter>

#include <cmath>

#include "ui/style/animations.h"

namespace kavri {

namespace {
constexpr int spokes = 12;
}

ProgressSpinner::ProgressSpinner(QColor tint, QWidget* parent) : QWidget(parent), tint_(tint) {
    setFixedSize(sizeHint());
    timer_.setInterval(1000 / spokes);
    connect(&timer_, &QTimer::timeout, this, [this] {
        step_ = (step_ + 1) % spokes;
        update();
    });
}

QSize ProgressSpinner::sizeHint() const { return QSize(int(side), int(side)); }

void ProgressSpinner::showEvent(QShowEvent*) {
    if (Animations::enabled()) timer_.start();
}

void ProgressSpinner::hideEvent(QHideEvent*) { timer_.stop(); }

void ProgressSpinner::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.translate(width() / 2.0, height() / 2.0);
    const double outer = side / 2 - 1, inner = side / 4;
    for (int i = 0; i < spokes; ++i) {
        // The newest spoke is full, the ones behind it fade.
        const int age = (step_ - i + spokes) % spokes;
        QColor c = tint_;
        c.setAlphaF(tint_.alphaF() * (1.0 - 0.75 * age / (spokes - 1)));
        p.setPen(QPen(c, 3, Qt::SolidLine, Qt::RoundCap));
        const double a = 2 * M_PI * i / spokes - M_PI / 2;
        p.drawLine(QPointF(std::cos(a) * inner, std::sin(a) * inner), QPointF(std::cos(a) * outer, std::sin(a) * outer));
    }
}

}  // namespace kavri
