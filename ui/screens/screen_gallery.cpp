#include "ui/screens/screen_gallery.h"

#include <QPainter>
#include <QWidget>

#include <chrono>
#include <cmath>
#include <memory>

#include "platform/runtime/fake_clock.h"
#include "ui/main/logo_button.h"
#include "ui/style/palette.h"

namespace kavri {

namespace {

using namespace std::chrono_literals;

// The same moment for every picture: a connection up for 1:02:05.
const Clock::WallTime connectedAt{std::chrono::seconds(1'765'400'000)};
FakeClock& fixedClock() {
    static FakeClock clock(connectedAt + 3725s);
    return clock;
}

// `widget` drawn at its device pixel ratio, cut to the window's
// fractional height when it is a whole window.
QImage grab(QWidget& widget, QSizeF points) {
    widget.show();
    QImage image = widget.grab().toImage();
    const double dpr = image.devicePixelRatio();
    const QSize pixels(int(std::lround(points.width() * dpr)), int(std::lround(points.height() * dpr)));
    image = image.copy(QRect(QPoint(0, 0), pixels));
    image.setDevicePixelRatio(dpr);
    widget.hide();
    return image;
}

// The halo alone on the window's backdrop.
QImage haloAlone(bool active) {
    QWidget backdrop;
    backdrop.setAutoFillBackground(true);
    QPalette p;
    p.setColor(QPalette::Window, Palette::background());
    backdrop.setPalette(p);
    auto* view = new MorvelHaloView(268, fixedClock(), &backdrop);
    backdrop.setFixedSize(view->size());
    view->halo().setActive(active);
    view->halo().setConnectedSince(active ? std::optional(connectedAt) : std::nullopt);
    return grab(backdrop, QSizeF(backdrop.size()));
}

}  // namespace

std::vector<ScreenGallery::Screen> ScreenGallery::all() {
    return {
        {"halo-inactive", [] { return haloAlone(false); }},
        {"halo-active", [] { return haloAlone(true); }},
    };
}

QImage ScreenGallery::render(const std::string& name) {
    for (const auto& screen : all())
        if (screen.name == name) return screen.render();
    return {};
}

}  // namespace kavri
