#include "ui/style/painted_widget.h"

namespace kavri {

PaintedWidget::PaintedWidget(Paint paint, QWidget* parent) : QWidget(parent), paint_(std::move(paint)) {}

void PaintedWidget::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing);
    paint_(painter, QRectF(rect()));
}

}  // namespace kavri
