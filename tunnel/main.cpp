#include <cstdio>

// The durnel process. Once the packet-tunnel provider exists, this becomes
//   return kavri::runTunnelHost(std::make_unique<kavri::PacketTunnelProvider>(),
//                               kavri::KavriStore::directory());
// (platform/ne/run_tunnel_host.h): it serves the tunnel's control socket in
// the shared directory until SIGTERM/SIGINT and stops the tunnel on the way out.
int main() {
    std::fprintf(stderr, "[Kavri] durnel: the tunnel extension is not wired up yet\n");
    return 0;
}
