#include "platform/runtime/system_info.h"

#include <unistd.h>

#include <sys/utsname.h>

#include <cctype>

namespace kavri {

std::string SystemInfo::versionFromRelease(const std::string& release) {
    long parts[3] = {0, 0, 0};
    std::size_t i = 0;
    for (int p = 0; p < 3; ++p) {
        if (i >= release.size() || !std::isdigit(static_cast<unsigned char>(release[i]))) break;
        long v = 0;
        while (i < release.size() && std::isdigit(static_cast<unsigned char>(release[i])) && v < 100000)
            v = v * 10 + (release[i++] - '0');
        parts[p] = v;
        if (i < release.size() && release[i] == '.')
            ++i;
        else
            break;
    }
    return std::to_string(parts[0]) + "." + std::to_string(parts[1]) + "." + std::to_string(parts[2]);
}

std::string SystemInfo::osVersion() {
    utsname u{};
    if (uname(&u) != 0) return "0.0.0";
    return versionFromRelease(u.release);
}

std::optional<std::string> SystemInfo::hostName() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return std::nullopt;
    return std::string(name);
}

}  // namespace kavri
