#pragma once

#include <string>

namespace kavri {

// Everything the setup guide draws besides its fixed parts (logo, steps,
// note): the texts of the installer's state, whether the steps box stands,
// and the button's label ("" for none).
struct MacSetupGuideViewState {
    std::string title;
    std::string subtitle;
    bool showsSteps = false;
    std::string button;

    bool operator==(const MacSetupGuideViewState&) const = default;
};

}  // namespace kavri
