#pragma once

#include <chrono>
#include <filesystem>

#include "platform/ne/durnel_launcher.h"
#include "platform/runtime/clock.h"

namespace kavri {

// Where and how the app side of the VPN service works: the shared directory
// whose tunnel host it talks to, the folder of the profiles file, how durnel
// is started, and its intervals.
struct TunnelProviderEnvironment {
    // The shared directory (the tunnel host's socket is there). Required.
    std::filesystem::path sharedDirectory;
    // The profiles file's folder; TunnelProviderPreferences::defaultDirectory() when empty.
    std::filesystem::path preferencesDirectory;
    DurnelLauncher::Settings durnel;
    Clock* clock = nullptr;  // Clock::system() when none

    // How often a connection looks for the tunnel host (to attach to one that
    // appeared, to notice one that went away, to restart on demand).
    std::chrono::milliseconds watchInterval{500};
    // At most one on-demand start per this interval.
    std::chrono::milliseconds onDemandInterval{3000};
    // How long a durnel just started gets to serve its socket.
    std::chrono::milliseconds launchTimeout{30000};
    std::chrono::milliseconds startTimeout{60000};
    std::chrono::milliseconds stopTimeout{30000};
    // How long a provider message waits for its reply at most.
    std::chrono::milliseconds messageTimeout{10000};

    Clock& clockOrSystem() const { return clock ? *clock : Clock::system(); }
};

}  // namespace kavri
