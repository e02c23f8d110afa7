#pragma once

#include <optional>
#include <string>
#include <vector>

#include "ui/main/stack/location_latency.h"
#include "ui/main/stack/protocol_screen_state.h"
#include "ui/style/palette_color.h"

namespace kavri {

// Everything the stack sheet draws: the loading indicator, the failure view
// or the list, and the protocol screen when one is pushed.
struct StackSheetState {
    enum class Content {
        loading,  // no catalog yet
        failed,   // the last refresh failed and there is no catalog
        list,     // a catalog is shown
    };

    struct AutoRow {
        std::string title;
        std::optional<std::string> subtitle;
        bool current = false;  // accent outline and checkmark

        bool operator==(const AutoRow&) const = default;
    };

    struct LocationRow {
        enum class Trailing {
            chevron,  // opens the protocol screen
            none,     // offline, yet still opens it
            lock,     // the plan does not allow choosing
        };

        std::string id;
        std::string flag;
        std::string title;
        PaletteColor titleColor = PaletteColor::text;
        bool offlinePill = false;               // "не в сети"
        std::optional<LocationLatency> latency;  // unlocked and online only
        bool current = false;                   // accent outline and checkmark
        Trailing trailing = Trailing::chevron;

        bool operator==(const LocationRow&) const = default;
    };

    Content content = Content::loading;
    bool manualAllowed = false;
    AutoRow autoRow;
    std::vector<LocationRow> rows;
    std::optional<ProtocolScreenState> protocolScreen;

    bool operator==(const StackSheetState&) const = default;
};

}  // namespace kavri
