#pragma once

#include <vector>

class QWidget;

#include "platform/runtime/clock.h"
#include "ui/screens/screen_gallery.h"

namespace kavri {

// The account sheets in their states, as the gallery draws them: the menu
// (owner and member, and its foot with the update control in each phase)
// and the plan sheet (loading, listed, buying).
class SheetScreens {
public:
    static std::vector<ScreenGallery::Screen> all(Clock& clock);
    // An owner's account menu and the listed plans, as a bottom sheet's
    // content under `parent`.
    static QWidget* ownerMenu(Clock& clock, QWidget* parent);
    static QWidget* listedPlans(QWidget* parent);
};

}  // namespace kavri
