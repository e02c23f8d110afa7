// spctl: the system's assessment of a bundle: accepted only when its code
// signature holds and its signer chains to one of the deployment's trusted
// roots, named by the file in $KAVRI_CODE_SIGNING_ROOTS.
//   spctl -a [-t exec] [-vv] BUNDLE
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/codesign/code_signature.h"

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    bool assess = false;
    std::string bundle;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "-a" || args[i] == "--assess") {
            assess = true;
        } else if (args[i] == "-t" && i + 1 < args.size() && args[i + 1] == "exec") {
            ++i;
        } else if (args[i] == "-v" || args[i] == "-vv") {
        } else if (!args[i].empty() && args[i][0] != '-' && bundle.empty()) {
            bundle = args[i];
        } else {
            bundle.clear();
            break;
        }
    }
    if (!assess || bundle.empty()) {
        std::fprintf(stderr, "usage: spctl -a [-t exec] [-vv] BUNDLE\n");
        return 2;
    }
    const char* roots = std::getenv(kavri::CodeSignature::rootsVariable);
    try {
        kavri::CodeSignature::assess(bundle, roots ? roots : "");
        const auto d = kavri::CodeSignature::describe(bundle);
        std::fprintf(stderr, "%s: accepted\nsource=Developer ID\norigin=%s\n", bundle.c_str(),
                     d.authorities.empty() ? "?" : d.authorities.front().c_str());
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: rejected\nsource=%s\n", bundle.c_str(), e.what());
        return 3;
    }
}
