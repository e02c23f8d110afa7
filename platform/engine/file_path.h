#pragma once

#include <filesystem>

namespace kavri {

// Paths of the engine framework. The provider points sharedDirectory at the
// shared directory at the beginning of every start; the framework keeps its
// working files there.
class FilePath {
public:
    static std::filesystem::path sharedDirectory();
    static void setSharedDirectory(std::filesystem::path directory);
};

}  // namespace kavri
