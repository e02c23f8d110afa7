#include "ui/main/sheet_placeholder.h"

#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

#include "ui/style/palette.h"

namespace kavri {

SheetPlaceholder::SheetPlaceholder(double panelHeight, QWidget* parent)
    : QWidget(parent), panelHeight_(panelHeight) {
    hide();
}

QRectF SheetPlaceholder::panel() const {
    const QRectF r(rect());
    return QRectF(r.left(), r.bottom() + 1 - panelHeight_, r.width(), panelHeight_);
}

void SheetPlaceholder::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.fillRect(rect(), QColor(0, 0, 0, 115));
    const QRectF r = panel();
    QPainterPath shape;
    constexpr double radius = 22;
    shape.addRoundedRect(r.adjusted(0, 0, 0, radius), radius, radius);
    p.fillPath(shape, Palette::background());
}

void SheetPlaceholder::mousePressEvent(QMouseEvent* event) {
    if (!panel().contains(event->position())) emit dismissRequested();
}

}  // namespace kavri
