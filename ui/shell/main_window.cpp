#include "ui/shell/main_window.h"

#include <QPalette>
#include <QVBoxLayout>

#include "ui/object_names.h"

namespace kavri {

MainWindow::MainWindow(QWidget* content) {
    setObjectName(ObjectName::mainWindow);
    setWindowTitle("Kavri");
    setPalette(darkPalette());
    setAutoFillBackground(true);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(content, 0, Qt::AlignCenter);
    content->setFixedSize(width, height);
    setFixedSize(width, height);
}

void MainWindow::bringForward() {
    show();
    raise();
    activateWindow();
}

QPalette MainWindow::darkPalette() {
    QPalette p;
    const QColor base(0x0E, 0x0F, 0x13);
    const QColor text(0xF2, 0xF3, 0xF5);
    p.setColor(QPalette::Window, base);
    p.setColor(QPalette::Base, base);
    p.setColor(QPalette::AlternateBase, QColor(0x1A, 0x1C, 0x22));
    p.setColor(QPalette::Button, QColor(0x1A, 0x1C, 0x22));
    p.setColor(QPalette::WindowText, text);
    p.setColor(QPalette::Text, text);
    p.setColor(QPalette::ButtonText, text);
    return p;
}

}  // namespace kavri
