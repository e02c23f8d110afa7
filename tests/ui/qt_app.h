#pragma once
// The one application object of a UI test process, drawn off screen.
#include <QApplication>
#include <QWidget>

#include <gtest/gtest.h>

#include <cstdlib>

namespace kavri::test {

inline QApplication& qtApp() {
    static int argc = 1;
    static char name[] = "kavri-tests";
    static char* argv[] = {name, nullptr};
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static QApplication* app = new QApplication(argc, argv);  // lives until exit
    return *app;
}

// Saves what `widget` drew when the running test has failed and
// KAVRI_ARTIFACTS is set.
inline void keepOnFailure(QWidget& widget) {
    const char* dir = std::getenv("KAVRI_ARTIFACTS");
    if (!dir || !::testing::Test::HasFailure()) return;
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    widget.grab().save(QString("%1/%2.png").arg(dir, info->name()));
}

}  // namespace kavri::test
