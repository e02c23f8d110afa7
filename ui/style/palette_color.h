#pragma once

namespace kavri {

// The app's eleven named colours, as presenters name them. A colour at an
// opacity multiplies the named colour's own opacity by that factor.
enum class PaletteColor {
    background,
    card,
    accent,
    danger,
    haloGlow,
    muted,
    success,
    warning,
    neutral,
    text,
    textSecondary,
};

struct PaletteTint {
    PaletteColor color = PaletteColor::text;
    double opacity = 1;

    bool operator==(const PaletteTint&) const = default;
};

}  // namespace kavri
