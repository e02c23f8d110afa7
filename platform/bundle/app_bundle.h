#pragma once

#include <filesystem>

namespace kavri {

// The app's bundle folder "Kavri.app": Contents/Info.plist, the programs in
// Contents/MacOS (the app "kavri" and the tunnel extension "durnel") and the
// resources in Contents/Resources.
class AppBundle {
public:
    // The bundle that holds the running program: ".../X.app" when the program
    // runs as X.app/Contents/MacOS/<name>, else the program's own folder.
    static std::filesystem::path mainBundlePath();
    // The bundle of a program at `program` (the rule of mainBundlePath()).
    static std::filesystem::path bundleOf(const std::filesystem::path& program);

    static std::filesystem::path executable(const std::filesystem::path& bundle);
    static std::filesystem::path extensionProgram(const std::filesystem::path& bundle);
    static std::filesystem::path infoPlist(const std::filesystem::path& bundle);
    static std::filesystem::path resources(const std::filesystem::path& bundle);

    static constexpr const char* executableName = "kavri";
    static constexpr const char* extensionName = "durnel";
};

}  // namespace kavri
