#pragma once

#include <string>

namespace kavri {

// Whether the machine runs in its low-power mode: the ACPI platform profile
// says "low-power". Machines without a platform profile are never in it.
class LowPowerMode {
public:
    static bool isOn(const std::string& profilePath = "/sys/firmware/acpi/platform_profile");
};

}  // namespace kavri
