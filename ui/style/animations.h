#pragma once

#include <QEasingCurve>

namespace kavri {

// The one switch of every animation of the app's views, and the standard
// curves. Off, each view draws its settled state at once (tests and
// screenshots); KAVRI_NO_ANIMATIONS turns it off for a whole run.
class Animations {
public:
    static bool enabled();
    static void setEnabled(bool on);

    static QEasingCurve easeOut();
    static QEasingCurve easeInOut();
};

}  // namespace kavri
