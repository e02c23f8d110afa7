#include "ui/shell/menu_bar_extra.h"

#include <QPainter>
#include <QPixmap>
#include <QSvgRenderer>

#include "ui/object_names.h"

namespace kavri {

namespace {

// The image is a template: only its shape counts; it is drawn in the light
// colour of a dark panel.
QPixmap templateImage(int size, double opacity) {
    QPixmap shape(size, size);
    shape.fill(Qt::transparent);
    {
        QSvgRenderer renderer(QStringLiteral(":/images/menu_bar_morvel.svg"));
        QPainter painter(&shape);
        renderer.render(&painter);
        painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
        painter.fillRect(shape.rect(), Qt::white);
    }
    QPixmap out(size, size);
    out.fill(Qt::transparent);
    QPainter painter(&out);
    painter.setOpacity(opacity);
    painter.drawPixmap(0, 0, shape);
    return out;
}

}  // namespace

QIcon MenuBarExtra::icon(double opacity) {
    QIcon icon;
    for (int size : {16, 22, 32, 64}) icon.addPixmap(templateImage(size, opacity));
    return icon;
}

MenuBarExtra::MenuBarExtra(QObject* parent) : QObject(parent) {
    menu_.setObjectName(ObjectName::menuBarMenu);
    tray_.setContextMenu(&menu_);
    tray_.setToolTip(QStringLiteral("Kavri"));
    tray_.setIcon(icon(dimmedOpacity));
}

void MenuBarExtra::setConnected(bool connected) {
    if (connected == connected_) return;
    connected_ = connected;
    tray_.setIcon(icon(connected ? connectedOpacity : dimmedOpacity));
}

}  // namespace kavri
