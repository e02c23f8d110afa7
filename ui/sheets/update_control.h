#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "api/app_update_info.h"
#include "app/updater/mac_updater.h"
#include "ui/style/palette_color.h"

namespace kavri {

// The control at the foot of the account menu's version card: its label
// follows the update check and the updater's phase, and a click does the one
// thing that fits (check, install the known newer release, or, after a
// failed installation, open the release's address in the browser).
struct UpdateControl {
    // What the control reads.
    struct Inputs {
        MacUpdater::Phase phase;
        bool checking = false;
        std::optional<AppUpdateInfo> latest;
        std::int64_t currentBuild = 0;
    };

    enum class Action {
        openDownload,  // the release's address, in the browser
        install,       // the known newer release
        check,         // ask the manifest again
    };

    std::string text;
    PaletteColor color = PaletteColor::accent;
    bool filled = false;   // on the accent fill: a newer release is known
    bool enabled = true;   // not while checking, downloading, verifying or installing

    bool operator==(const UpdateControl&) const = default;

    // A release is newer exactly when its build is greater than the running one.
    static bool hasNewer(const std::optional<AppUpdateInfo>& latest, std::int64_t currentBuild);
    static UpdateControl of(const Inputs& in);
    // What a click does; the address to open comes with openDownload.
    static Action onClick(const Inputs& in, std::optional<std::string>* address = nullptr);
    // "Скачиваем… 42%", or "Скачиваем…" for no progress yet.
    static std::string downloadingText(double fraction);
};

}  // namespace kavri
