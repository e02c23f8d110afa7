#include "ui/style/animations.h"

#include <QPointF>

#include <atomic>
#include <cstdlib>

namespace kavri {

namespace {
std::atomic<bool>& flag() {
    static std::atomic<bool> on{std::getenv("KAVRI_NO_ANIMATIONS") == nullptr};
    return on;
}

QEasingCurve bezier(double x1, double y1, double x2, double y2) {
    QEasingCurve curve(QEasingCurve::BezierSpline);
    curve.addCubicBezierSegment(QPointF(x1, y1), QPointF(x2, y2), QPointF(1, 1));
    return curve;
}
}  // namespace

bool Animations::enabled() { return flag().load(); }
void Animations::setEnabled(bool on) { flag() = on; }

QEasingCurve Animations::easeOut() { return bezier(0, 0, 0.58, 1); }
QEasingCurve Animations::easeInOut() { return bezier(0.42, 0, 0.58, 1); }

}  // namespace kavri
