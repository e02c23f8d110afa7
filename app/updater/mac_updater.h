#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <sys/types.h>

namespace kavri {

// The self-updater's hand-over: a running bundle is never replaced in place.
// A verified copy staged next to it is swapped in by a small script that
// waits for this process to end, moves the old bundle aside, moves the new
// one into its place, starts it, and puts things back if a move fails.
class MacUpdater {
public:
    struct Deps {
        // The running app's bundle.
        std::filesystem::path bundle;
        // Where the script is written.
        std::filesystem::path temporaryDirectory;
        // The process the script waits for.
        pid_t pid = 0;
        // Ends the running app after the delay.
        std::function<void(std::chrono::milliseconds)> terminateAfter;
    };

    // Paths of one swap.
    struct SwapPaths {
        std::filesystem::path current;   // the running bundle
        std::filesystem::path staged;    // the new one, next to it
        std::filesystem::path previous;  // where the old one is put aside
        pid_t pid = 0;
    };

    static constexpr const char* stagedPrefix = ".kavri-update-";
    static constexpr const char* previousPrefix = ".kavri-previous-";
    static constexpr std::chrono::milliseconds terminateDelay{300};

    // The running bundle, the system's temporary folder, this process.
    static Deps systemDeps(std::function<void(std::chrono::milliseconds)> terminateAfter);

    explicit MacUpdater(Deps deps);

    // Removes, next to the running bundle (or `bundle`), every entry whose
    // name begins with one of the two prefixes. Never fails.
    static void cleanupLeftovers();
    static void cleanupLeftovers(const std::filesystem::path& bundle);

    // Writes the swap script for `staged` (0755), starts it with bash without
    // waiting and asks the app to end shortly after; install()'s last step.
    // Throws std::filesystem::filesystem_error or DetachedProcess::Error when
    // the script cannot be written or started; the app then keeps running.
    void swapAndRelaunch(const std::filesystem::path& staged);

    // The script's text; every path stands as one literal word.
    static std::string swapScript(const SwapPaths& paths);

private:
    Deps deps_;
};

}  // namespace kavri
