#pragma once

#include <string>

namespace kavri {

class SystemInfo {
public:
    // The running kernel's version as "major.minor.patch" (missing parts 0).
    static std::string osVersion();
    // The same from a release text such as "6.1.0-18-amd64".
    static std::string versionFromRelease(const std::string& release);
};

}  // namespace kavri
