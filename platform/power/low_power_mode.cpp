#include "platform/power/low_power_mode.h"

#include <fstream>

namespace kavri {

bool LowPowerMode::isOn(const std::string& profilePath) {
    std::ifstream in(profilePath);
    std::string profile;
    if (!(in >> profile)) return false;
    return profile == "low-power";
}

}  // namespace kavri
