#include "ui/sheets/sheet_scroll_area.h"

#include "ui/style/scroll_areas.h"

namespace kavri {

SheetScrollArea::SheetScrollArea(QWidget* content, QWidget* parent) : QScrollArea(parent) {
    setFrameShape(QFrame::NoFrame);
    setWidgetResizable(true);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    viewport()->setAutoFillBackground(false);
    setStyleSheet("QScrollArea { background: transparent; }");
    content->setStyleSheet("background: transparent;");
    setWidget(content);
    overlayScrollIndicator(this);
}

}  // namespace kavri
