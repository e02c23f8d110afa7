// The durnel process: serves the tunnel of one packet-tunnel provider on the
// control socket in the shared directory until SIGTERM or SIGINT.
#include <malloc.h>

#include <cstdlib>
#include <memory>

#include "core/kavri_store.h"
#include "platform/ne/run_tunnel_host.h"
#include "tunnel/packet_tunnel_provider.h"

int main() {
    // durnel idles with a score of threads (engine, controller, loops). By
    // default glibc gives each thread that allocates a heap arena of its own,
    // which costs a few resident megabytes for nothing: two arenas are plenty
    // for this little contention.
    ::mallopt(M_ARENA_MAX, 2);
    kavri::ProviderSettings settings;
    // Local runs and tests may move the engine's controller off its usual port.
    if (const char* controller = std::getenv("KAVRI_CONTROLLER"); controller && *controller)
        settings.controllerBase = std::string("http://") + controller;
    // Each tunnel run gets a provider of its own, as on the platform.
    return kavri::runTunnelHost([settings] { return std::make_unique<kavri::PacketTunnelProvider>(settings); },
                                kavri::KavriStore::directory());
}
