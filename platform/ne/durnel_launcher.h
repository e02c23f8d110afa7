#pragma once

#include <sys/types.h>

#include <filesystem>
#include <map>
#include <optional>
#include <string>

namespace kavri {

// Starts the tunnel extension's program, durnel, for the VPN service when no
// tunnel host serves the shared directory: detached from the caller, so that
// the tunnel outlives the app.
class DurnelLauncher {
public:
    struct Settings {
        // The program; when none, $KAVRI_DURNEL, else "durnel" next to the
        // running program, else "../tunnel/durnel" from it (the build tree).
        std::optional<std::filesystem::path> program;
        // Added to the caller's environment (KAVRI_SHARED_DIR is always set to
        // the shared directory served).
        std::map<std::string, std::string> environment;
        // Where its log goes; inherited from the caller when none.
        std::optional<std::filesystem::path> logFile;
    };

    // The program to start (it may not exist).
    static std::filesystem::path program(const Settings& settings);
    // Starts durnel serving `sharedDirectory` and returns its process id.
    // Throws std::runtime_error when it cannot be started.
    static pid_t launch(const Settings& settings, const std::filesystem::path& sharedDirectory);
};

}  // namespace kavri
