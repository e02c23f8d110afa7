// hdiutil: attaches and detaches our disk images (see DiskImage).
//   hdiutil attach IMAGE [-nobrowse] [-readonly] -mountpoint FOLDER
//   hdiutil detach FOLDER [-quiet]
#include <cstdio>
#include <string>
#include <vector>

#include "platform/diskimage/disk_image.h"

namespace {

int usage() {
    std::fprintf(stderr,
                 "usage: hdiutil attach IMAGE [-nobrowse] [-readonly] -mountpoint FOLDER\n"
                 "       hdiutil detach FOLDER [-quiet]\n");
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) return usage();
    const std::string& verb = args[0];
    std::string target, mountPoint;
    bool quiet = false;
    for (std::size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "-mountpoint" && i + 1 < args.size()) {
            mountPoint = args[++i];
        } else if (args[i] == "-quiet") {
            quiet = true;
        } else if (args[i] == "-nobrowse" || args[i] == "-readonly") {
            // Images are always attached read-only and never shown to the desktop.
        } else if (!args[i].empty() && args[i][0] != '-' && target.empty()) {
            target = args[i];
        } else {
            return usage();
        }
    }
    try {
        if (verb == "attach" && !target.empty() && !mountPoint.empty()) {
            kavri::DiskImage::attach(target, mountPoint);
            if (!quiet) std::printf("%s\n", mountPoint.c_str());
            return 0;
        }
        if (verb == "detach" && !target.empty() && mountPoint.empty()) {
            kavri::DiskImage::detach(target);
            if (!quiet) std::printf("\"%s\" ejected.\n", target.c_str());
            return 0;
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "hdiutil: %s failed - %s\n", verb.c_str(), e.what());
        return 1;
    }
    return usage();
}
