// The durnel process: serves the tunnel of one packet-tunnel provider on the
// control socket in the shared directory until SIGTERM or SIGINT.
#include <malloc.h>

#include <cstdlib>
#include <memory>

#include "core/kavri_store.h"
#include "platform/ne/run_tunnel_host.h"
#include "tunnel/packet_tunnel_provider.h"

int main() {
    // durnel idles with a score of threads (engine, controller, loops) and
    // little contention among them. One heap arena for all of them: every
    // further arena keeps its own partly used pages resident (about 1 MB
    // here). Blocks of 64 KiB and more (transfer buffers, replies) are mapped
    // on their own and given back when freed, instead of raising glibc's
    // moving threshold and staying in the heap after the burst that needed
    // them (about 0.5 MB).
    ::mallopt(M_ARENA_MAX, 1);
    ::mallopt(M_MMAP_THRESHOLD, 64 * 1024);
    kavri::ProviderSettings settings;
    // Local runs and tests may move the engine's controller off its usual port.
    if (const char* controller = std::getenv("KAVRI_CONTROLLER"); controller && *controller)
        settings.controllerBase = std::string("http://") + controller;
    // Each tunnel run gets a provider of its own, as on the platform.
    return kavri::runTunnelHost([settings] { return std::make_unique<kavri::PacketTunnelProvider>(settings); },
                                kavri::KavriStore::directory());
}
