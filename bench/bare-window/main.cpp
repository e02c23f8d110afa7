// The baseline of the app's start-up benchmark: a bare Qt Widgets program
// that shows one empty window of the app's size and ends once it is shown.
#include <QApplication>
#include <QWidget>

#include "ui/shell/exit_when_exposed.h"
#include "ui/shell/main_window.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QWidget window;
    window.setFixedSize(kavri::MainWindow::width, kavri::MainWindow::height);
    new kavri::ExitWhenExposed(window);
    window.show();
    return QApplication::exec();
}
