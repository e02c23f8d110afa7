#pragma once

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <QTimer>
#include <QWidget>
#include <QWindow>

namespace kavri {

// Ends the program once a window is first on screen and its first frame was
// drawn: what the start-up benchmark measures.
class ExitWhenExposed : public QObject {
public:
    explicit ExitWhenExposed(QWidget& window) : QObject(&window) {
        window.winId();  // makes the native window, whose events are watched
        window.windowHandle()->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Expose && static_cast<QWindow*>(watched)->isExposed()) {
            QTimer::singleShot(0, qApp, [] { QCoreApplication::exit(0); });
        }
        return false;
    }
};

}  // namespace kavri
