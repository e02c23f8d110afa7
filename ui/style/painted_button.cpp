#include "ui/style/painted_button.h"

namespace kavri {

PaintedButton::PaintedButton(Paint paint, PressFeedback feedback, QWidget* parent)
    : PressableButton(feedback, parent), paint_(std::move(paint)) {}

void PaintedButton::paintLabel(QPainter& painter, const QRectF& rect) { paint_(painter, rect); }

}  // namespace kavri
