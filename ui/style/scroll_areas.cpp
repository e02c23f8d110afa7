#include "ui/style/scroll_areas.h"

#include <QScrollArea>
#include <QScrollBar>

#include "ui/style/palette.h"

namespace kavri {

QScrollArea* verticalScrollArea(QWidget* content, QWidget* parent) {
    auto* area = new QScrollArea(parent);
    area->setFrameShape(QFrame::NoFrame);
    area->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    area->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    area->setWidgetResizable(true);
    QPalette palette = area->palette();
    palette.setColor(QPalette::Window, Palette::background());
    palette.setColor(QPalette::Base, Palette::background());
    for (QWidget* w : {static_cast<QWidget*>(area), area->viewport(), content}) {
        w->setPalette(palette);
        w->setAutoFillBackground(true);
    }
    area->setWidget(content);
    area->verticalScrollBar()->setStyleSheet(
        "QScrollBar:vertical { background: transparent; width: 8px; margin: 0; }"
        "QScrollBar::handle:vertical { background: rgba(255, 255, 255, 64); border-radius: 3px;"
        " min-height: 24px; margin: 2px 2px 2px 0; }"
        "QScrollBar::add-line:vertical, QScrollBar::sub-line:vertical { height: 0; }"
        "QScrollBar::add-page:vertical, QScrollBar::sub-page:vertical { background: transparent; }");
    return area;
}

}  // namespace kavri
