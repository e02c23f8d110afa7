#include "platform/bundle/app_bundle.h"

#include <system_error>

namespace kavri {

namespace fs = std::filesystem;

fs::path AppBundle::bundleOf(const fs::path& program) {
    const fs::path macos = program.parent_path();
    const fs::path contents = macos.parent_path();
    if (macos.filename() == "MacOS" && contents.filename() == "Contents") return contents.parent_path();
    return macos;
}

fs::path AppBundle::mainBundlePath() {
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (ec) return fs::current_path(ec);
    return bundleOf(self);
}

fs::path AppBundle::executable(const fs::path& bundle) { return bundle / "Contents" / "MacOS" / executableName; }

fs::path AppBundle::extensionProgram(const fs::path& bundle) {
    return bundle / "Contents" / "MacOS" / extensionName;
}

fs::path AppBundle::infoPlist(const fs::path& bundle) { return bundle / "Contents" / "Info.plist"; }

fs::path AppBundle::resources(const fs::path& bundle) { return bundle / "Contents" / "Resources"; }

}  // namespace kavri
