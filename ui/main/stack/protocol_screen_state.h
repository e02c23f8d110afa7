#pragma once

#include <optional>
#include <string>
#include <vector>

#include "ui/style/palette_color.h"

namespace kavri {

// Everything the protocol screen of a location draws.
struct ProtocolScreenState {
    struct Row {
        std::string key;
        std::string title;
        PaletteColor titleColor = PaletteColor::text;  // muted when not offered here
        std::optional<std::string> badge;              // present and not empty
        // The subtitle, or "Нет на этой локации" when not offered; none
        // without a subtitle.
        std::optional<std::string> secondLine;
        bool chosen = false;  // "largecircle.fill.circle", else "circle"
        PaletteColor markColor = PaletteColor::muted;
        bool dividerAfter = false;

        bool operator==(const Row&) const = default;
    };

    std::string locationId;  // the screen's identity
    std::string titleText;   // "Берлин · 42 мс", "Берлин · ~42 мс", "Берлин"
    std::vector<Row> rows;
    std::string chosenProtocol;
    std::string buttonText;
    PaletteColor buttonTextColor = PaletteColor::muted;  // black when `buttonBlackText`
    bool buttonBlackText = false;
    PaletteColor buttonFill = PaletteColor::card;
    bool connectEnabled = false;
    bool showInfo = false;

    bool operator==(const ProtocolScreenState&) const = default;
};

}  // namespace kavri
