#pragma once

#include <string>

#include "app/vpn_manager/vpn_manager.h"
#include "ui/style/palette_color.h"

namespace kavri {

// The main window's status row: its caption and the colour of its dot.
struct RootStatus {
    std::string caption;
    PaletteColor dot = PaletteColor::neutral;

    bool operator==(const RootStatus&) const = default;

    // The first that applies: a blocked account, a toggle under way, then
    // the tunnel's status (a failure shows its own text).
    static RootStatus of(bool blocked, bool toggling, const VPNManager::Status& status);
};

}  // namespace kavri
