#include "ui/style/palette.h"

namespace kavri {

namespace {
QColor srgb(double r, double g, double b) { return QColor::fromRgbF(float(r), float(g), float(b), 1.0f); }
}  // namespace

const QColor& Palette::background() {
    static const QColor c = srgb(0.1, 0.1, 0.18);
    return c;
}
const QColor& Palette::card() {
    static const QColor c = srgb(0.14, 0.14, 0.22);
    return c;
}
const QColor& Palette::accent() {
    static const QColor c = srgb(0.95, 0.77, 0.06);
    return c;
}
const QColor& Palette::danger() {
    static const QColor c = srgb(0.91, 0.3, 0.24);
    return c;
}
const QColor& Palette::haloGlow() {
    static const QColor c = srgb(0.98, 0.82, 0.18);
    return c;
}
const QColor& Palette::muted() {
    static const QColor c = srgb(0.45, 0.46, 0.55);
    return c;
}
const QColor& Palette::success() {
    static const QColor c(52, 199, 89);
    return c;
}
const QColor& Palette::warning() {
    static const QColor c(255, 204, 0);
    return c;
}
const QColor& Palette::neutral() {
    static const QColor c(142, 142, 147);
    return c;
}
const QColor& Palette::text() {
    static const QColor c(Qt::white);
    return c;
}
const QColor& Palette::textSecondary() {
    static const QColor c = withOpacity(Qt::white, 0.6);
    return c;
}

const QColor& Palette::color(PaletteColor name) {
    switch (name) {
        case PaletteColor::background: return background();
        case PaletteColor::card: return card();
        case PaletteColor::accent: return accent();
        case PaletteColor::danger: return danger();
        case PaletteColor::haloGlow: return haloGlow();
        case PaletteColor::muted: return muted();
        case PaletteColor::success: return success();
        case PaletteColor::warning: return warning();
        case PaletteColor::neutral: return neutral();
        case PaletteColor::text: return text();
        case PaletteColor::textSecondary: return textSecondary();
    }
    return text();
}

QColor Palette::color(PaletteColor name, double opacity) { return withOpacity(color(name), opacity); }

QColor Palette::withOpacity(const QColor& color, double opacity) {
    QColor c = color;
    c.setAlphaF(float(color.alphaF() * opacity));
    return c;
}

}  // namespace kavri
