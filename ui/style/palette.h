#pragma once

#include <QColor>

#include "ui/style/palette_color.h"

namespace kavri {

// The colours every view draws with. The six own colours are exact sRGB
// values; green, yellow, gray and white are the desktop's standard ones.
class Palette {
public:
    static const QColor& background();
    static const QColor& card();
    static const QColor& accent();
    static const QColor& danger();
    static const QColor& haloGlow();
    static const QColor& muted();
    static const QColor& success();
    static const QColor& warning();
    static const QColor& neutral();
    static const QColor& text();
    static const QColor& textSecondary();

    static const QColor& color(PaletteColor name);
    // The named colour with its opacity multiplied by `opacity`.
    static QColor color(PaletteColor name, double opacity);
    static QColor color(const PaletteTint& tint) { return color(tint.color, tint.opacity); }
    static QColor withOpacity(const QColor& color, double opacity);
};

}  // namespace kavri
