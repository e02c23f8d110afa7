#pragma once

#include <QImage>

#include <functional>
#include <string>
#include <vector>

namespace kavri {

// Every screen and state of the app's views in its settled state, drawn
// with a fixed clock, for people to look at without a desktop
// (scripts/screens) and for tests that sample their pixels.
class ScreenGallery {
public:
    struct Screen {
        std::string name;
        std::function<QImage()> render;
    };

    // The window's content size in points; the height is not whole.
    static constexpr double windowWidth = 361;
    static constexpr double windowHeight = 655.5;
    // A failure text of 200 characters, as long as the VPN service's own.
    static constexpr const char* longFailure =
        "VPN configuration: the tunnel provider did not answer the start request within the allowed time, so the "
        "connection was abandoned; check that the extension is allowed in System Settings and try again now.";

    static std::vector<Screen> all();
    static QImage render(const std::string& name);
};

}  // namespace kavri
