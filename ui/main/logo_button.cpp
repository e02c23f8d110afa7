#include "ui/main/logo_button.h"

#include <QPainter>

#include <cmath>

namespace kavri {

namespace {
constexpr double margin = MorvelHalo::glowReach;
}

LogoButton::LogoButton(Clock& clock, QWidget* parent)
    : PressableButton(LogoPressStyle::feedback, parent), halo_(false, std::nullopt, diameter, clock) {
    const int side = int(std::ceil(frameSide + 2 * margin));
    resize(side, side);
    scalesItself_ = true;
    connect(&halo_, &MorvelHalo::changed, this, [this] { update(); });
    connect(&halo_, &MorvelHalo::clockChanged, this,
            [this](QRectF r) { update(haloTransform().mapRect(r).toAlignedRect().adjusted(-1, -1, 1, 1)); });
}

QRectF LogoButton::frameRect() const {
    const QPointF c = labelRect().center();
    return QRectF(c.x() - frameSide / 2, c.y() - frameSide / 2, frameSide, frameSide);
}

QSize LogoButton::sizeHint() const { return size(); }

QTransform LogoButton::haloTransform() const {
    const QPointF c = labelRect().center();
    const double s = frameScale * currentScale();
    QTransform t;
    t.translate(c.x(), c.y());
    t.scale(s, s);
    t.translate(-diameter / 2, -diameter / 2);
    return t;
}

bool LogoButton::hitButton(const QPoint& pos) const {
    const QPointF d = QPointF(pos) - labelRect().center();
    return std::hypot(d.x(), d.y()) <= frameSide / 2;
}

void LogoButton::paintLabel(QPainter& painter, const QRectF&) {
    painter.setTransform(haloTransform(), true);
    halo_.paint(painter);
}

void LogoButton::showEvent(QShowEvent* event) {
    PressableButton::showEvent(event);
    halo_.appear();
}

MorvelHaloView::MorvelHaloView(double diameter, Clock& clock, QWidget* parent)
    : QWidget(parent), halo_(false, std::nullopt, diameter, clock) {
    const int side = int(std::ceil(diameter + 2 * margin));
    setFixedSize(side, side);
    connect(&halo_, &MorvelHalo::changed, this, [this] { update(); });
    connect(&halo_, &MorvelHalo::clockChanged, this,
            [this](QRectF r) { update(r.translated(margin, margin).toAlignedRect().adjusted(-1, -1, 1, 1)); });
}

void MorvelHaloView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.translate(margin, margin);
    halo_.paint(painter);
}

void MorvelHaloView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    halo_.appear();
}

}  // namespace kavri
