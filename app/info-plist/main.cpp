// Writes the app bundle's Contents/Info.plist: the identifiers, the program
// to start, the URL scheme and the version keys this build reports.
#include <cstdio>
#include <fstream>

#include "core/kavri_constants.h"
#include "core/property_list.h"
#include "platform/bundle/app_bundle.h"

int main(int argc, char** argv) {
    using namespace kavri;
    if (argc != 2) {
        std::fprintf(stderr, "usage: kavri-info-plist <Info.plist>\n");
        return 2;
    }
    PlistValue::Dict info = KavriConstants::bundleInfo();
    info["CFBundleIdentifier"] = KavriConstants::appBundleID;
    info["CFBundleName"] = "Kavri";
    info["CFBundleExecutable"] = AppBundle::executableName;
    info["CFBundlePackageType"] = "APPL";
    info["CFBundleURLTypes"] = PlistValue::Array{PlistValue::Dict{
        {"CFBundleURLName", KavriConstants::appBundleID},
        {"CFBundleURLSchemes", PlistValue::Array{KavriConstants::urlScheme}},
    }};
    const auto bytes = PropertyList::encodeBinary(info);
    std::ofstream out(argv[1], std::ios::binary | std::ios::trunc);
    if (!bytes || !(out << *bytes) || !out.flush()) {
        std::fprintf(stderr, "kavri-info-plist: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
