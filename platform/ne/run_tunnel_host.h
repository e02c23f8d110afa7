#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>

#include "platform/ne/packet_tunnel_provider_base.h"
#include "platform/ne/tunnel_host.h"
#include "platform/runtime/clock.h"

namespace kavri {

struct TunnelHostRunOptions {
    // The host's settings; `directory` is replaced by the shared directory.
    TunnelHostConfig host;
    Clock* clock = nullptr;  // Clock::system() when none
    // How long the provider gets to stop the tunnel before the process exits
    // anyway (a second signal also cuts it short).
    std::chrono::milliseconds stopTimeout = std::chrono::seconds(10);
    // Called once the socket is up (tests wait for it).
    std::function<void(TunnelHost&)> onReady;
};

// The body of the durnel process: serves the tunnel on the control socket in
// `sharedDirectory` until SIGTERM or SIGINT, then stops a running tunnel
// (SIGTERM: providerDisabled, the service is going away; SIGINT: someone at
// the terminal, userInitiated), waits for the provider's stop, removes the
// socket and returns the exit status (0, or 1 when the socket could not be
// made). One run per process at a time.
// `makeProvider` gives each run a provider of its own.
int runTunnelHost(TunnelHost::ProviderFactory makeProvider, const std::filesystem::path& sharedDirectory,
                  TunnelHostRunOptions options = {});

}  // namespace kavri
