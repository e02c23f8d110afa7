#include "ui/style/activity_indicator.h"

#include <QPainter>

namespace kavri {

ActivityIndicator::ActivityIndicator(QColor tint, double side, QWidget* parent) : QWidget(parent), tint_(tint) {
    setFixedSize(int(side), int(side));
    connect(&spinner_, &Spinner::changed, this, [this] { update(); });
}

void ActivityIndicator::paintEvent(QPaintEvent*) {
    QPainter p(this);
    Spinner::paint(p, QRectF(rect()), tint_, spinner_.step());
}

void ActivityIndicator::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    spinner_.setRunning(true);
}

void ActivityIndicator::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    spinner_.setRunning(false);
}

}  // namespace kavri
