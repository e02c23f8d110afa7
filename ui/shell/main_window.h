#pragma once

#include <QWidget>

namespace kavri {

// The app's one window (id "main"): a fixed frame of 361 × 655.5 points
// (656 whole points) in the dark scheme around its content; it cannot be
// resized. Closing it only hides it: the app lives on in the tray.
class MainWindow : public QWidget {
    Q_OBJECT
public:
    static constexpr int width = 361;
    static constexpr int height = 656;

    // Takes ownership of `content`.
    explicit MainWindow(QWidget* content);

    // Shows the window, raised and active.
    void bringForward();

    // The dark scheme's colours.
    static QPalette darkPalette();
};

}  // namespace kavri
