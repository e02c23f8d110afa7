#pragma once
// The one application object of a UI test process, drawn off screen.
#include <QApplication>

namespace kavri::test {

inline QApplication& qtApp() {
    static int argc = 1;
    static char name[] = "kavri-tests";
    static char* argv[] = {name, nullptr};
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static QApplication* app = new QApplication(argc, argv);  // lives until exit
    return *app;
}

}  // namespace kavri::test
