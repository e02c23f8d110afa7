// codesign: checks and describes our code signatures (see CodeSignature).
//   codesign --verify [--deep] [--strict] BUNDLE
//   codesign -dv [--verbose=N] BUNDLE       (the description on standard error)
#include <cstdio>
#include <string>
#include <vector>

#include "platform/codesign/code_signature.h"

namespace {

int usage() {
    std::fprintf(stderr,
                 "usage: codesign --verify [--deep] [--strict] BUNDLE\n"
                 "       codesign -dv [--verbose=N] BUNDLE\n");
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    bool verifyMode = false, describeMode = false;
    std::string bundle;
    for (const auto& a : args) {
        if (a == "--verify" || a == "-v") {
            verifyMode = true;
        } else if (a == "-dv" || a == "-d") {
            describeMode = true;
        } else if (a == "--deep" || a == "--strict" || a.starts_with("--verbose")) {
            // Every file of the bundle, nested bundles included, is always sealed and checked.
        } else if (!a.empty() && a[0] != '-' && bundle.empty()) {
            bundle = a;
        } else {
            return usage();
        }
    }
    if (bundle.empty() || verifyMode == describeMode) return usage();
    try {
        if (verifyMode) {
            kavri::CodeSignature::verify(bundle);
            return 0;
        }
        const auto d = kavri::CodeSignature::describe(bundle);
        std::fprintf(stderr, "Executable=%s\n", d.executable.c_str());
        std::fprintf(stderr, "Format=app bundle\n");
        std::fprintf(stderr, "Signature size=%zu\n", d.signatureBytes);
        for (const auto& authority : d.authorities) std::fprintf(stderr, "Authority=%s\n", authority.c_str());
        std::fprintf(stderr, "TeamIdentifier=%s\n", d.teamIdentifier ? d.teamIdentifier->c_str() : "not set");
        std::fprintf(stderr, "Sealed Resources files=%zu\n", d.sealedFiles);
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: %s\n", bundle.c_str(), e.what());
        return 1;
    }
}
