// Signs an app bundle and packs it into a disk image the self-updater
// installs: tests make their images with it, and so does a release.
//   kavri-pack-update --bundle Kavri.app --certificate signer.pem --key signer.key
//                     [--chain intermediates.pem] --output Kavri.dmg
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>

#include "platform/codesign/code_signature.h"
#include "platform/diskimage/disk_image.h"

int main(int argc, char** argv) {
    std::map<std::string, std::string> options;
    for (int i = 1; i + 1 < argc; i += 2) options[argv[i]] = argv[i + 1];
    const bool complete = argc % 2 == 1 && options.count("--bundle") && options.count("--certificate") &&
                          options.count("--key") && options.count("--output") && options.size() <= 5;
    if (!complete) {
        std::fprintf(stderr,
                     "usage: kavri-pack-update --bundle APP --certificate PEM --key PEM [--chain PEM] --output IMAGE\n");
        return 2;
    }
    try {
        const std::filesystem::path bundle = options["--bundle"];
        kavri::CodeSignature::sign(bundle, options["--certificate"], options["--key"], options["--chain"]);
        kavri::DiskImage::create({bundle}, options["--output"]);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kavri-pack-update: %s\n", e.what());
        return 1;
    }
    return 0;
}
