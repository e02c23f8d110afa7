#pragma once
// App bundles made of shell scripts: each program, when started, appends
// its bundle's version and its arguments as one line to a file the test reads.
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "platform/bundle/app_bundle.h"
#include "platform/runtime/shell_quote.h"

namespace kavri::test {

inline void writeFakeBundle(const std::filesystem::path& bundle, const std::string& version,
                            const std::filesystem::path& launches) {
    namespace fs = std::filesystem;
    fs::create_directories(bundle / "Contents" / "MacOS");
    std::ofstream(bundle / "Contents" / "version") << version;
    for (const auto& program : {AppBundle::executable(bundle), AppBundle::extensionProgram(bundle)}) {
        std::ofstream(program) << "#!/bin/sh\necho \"" << version << " $*\" >> "
                               << *ShellQuote::singleQuoted(launches.string()) << "\n";
        fs::permissions(program, fs::perms(0755), fs::perm_options::replace);
    }
}

inline std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Waits (real time, generously) until `done` holds; the result of done().
template <class F>
bool eventually(F done, std::chrono::seconds limit = std::chrono::seconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

}  // namespace kavri::test
