#pragma once

#include <string>

#include "ui/sheets/update_control.h"
#include "ui/style/palette_color.h"

namespace kavri {

// Everything the account menu sheet draws.
struct MacMenuSheetState {
    // The account number card's first line: the number, or the confirmation.
    std::string idLine = "Ваш ID: —";
    PaletteColor idColor = PaletteColor::text;

    // The subscription line and its dot.
    std::string statusText = "—";
    PaletteColor statusColor = PaletteColor::neutral;

    // "2.4.1 (57)"; the section title in the accent colour when a newer
    // release is known.
    std::string installedVersion;
    bool versionHighlighted = false;
    UpdateControl update;

    // The invitation section, present only while the service sent a referral block.
    bool showsReferral = false;
    std::string referralText = "Ссылка для приглашения";
    PaletteTint referralTint{PaletteColor::accent, 1};
    bool referralEnabled = false;

    bool operator==(const MacMenuSheetState&) const = default;
};

}  // namespace kavri
