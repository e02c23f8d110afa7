#include "ui/screens/screen_gallery.h"

#include <gtest/gtest.h>

#include <set>

#include "tests/ui/qt_app.h"
#include "ui/style/animations.h"

namespace kavri {
namespace {

// What scripts/screens draws: every state it names, each a picture with
// something in it.
TEST(ScreenGalleryTest, EveryScreenIsDrawnAndNoneIsBlank) {
    test::qtApp();
    Animations::setEnabled(false);
    std::set<std::string> names;
    for (const auto& screen : ScreenGallery::all()) {
        EXPECT_TRUE(names.insert(screen.name).second) << screen.name << " twice";
        const QImage image = screen.render();
        ASSERT_FALSE(image.isNull()) << screen.name;
        std::set<QRgb> colours;
        for (int y = 0; y < image.height(); y += 3)
            for (int x = 0; x < image.width(); x += 3) colours.insert(image.pixel(x, y));
        EXPECT_GT(colours.size(), 8u) << screen.name << " is blank";
    }
    Animations::setEnabled(true);
    // The states a person checks the window against.
    for (const char* name :
         {"main-connecting", "main-reasserting", "main-disconnecting", "main-invalid", "main-failed",
          "main-failed-long", "main-trial-until", "main-paid-cancelled", "main-stack-alert", "tray-menu-disconnected",
          "tray-menu-connecting", "tray-menu-reasserting", "tray-menu-failed", "stack-list-auto", "main-stack-auto",
          "main-stack-auto-locked", "stack-protocol-offline", "stack-protocol-not-here", "menu-copied-id",
          "menu-copied-link", "devices-loading", "devices-full", "devices-share-busy", "devices-joining",
          "devices-unlinking", "menu-in-panel", "plans-in-panel"})
        EXPECT_TRUE(names.count(name)) << name;
}

}  // namespace
}  // namespace kavri
