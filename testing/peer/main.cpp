// kavri-peer: a loopback peer for local runs.
//
//   kavri-peer member --port N    an HTTP/SOCKS5 forward proxy (a group member)
//   kavri-peer origin --port N    an origin server (/generate_204, /hello, /stream)
//
// Runs until SIGINT or SIGTERM.
#include <signal.h>

#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>

#include "testing/member_proxy.h"
#include "testing/origin_server.h"

int main(int argc, char** argv) {
    if (argc != 4 || std::string(argv[2]) != "--port") {
        std::cerr << "usage: kavri-peer member|origin --port N\n";
        return 2;
    }
    const std::string kind = argv[1];
    const int port = std::atoi(argv[3]);
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    try {
        std::unique_ptr<kavri::MemberProxy> member;
        std::unique_ptr<kavri::OriginServer> origin;
        if (kind == "member")
            member = std::make_unique<kavri::MemberProxy>(static_cast<std::uint16_t>(port));
        else if (kind == "origin")
            origin = std::make_unique<kavri::OriginServer>(port);
        else {
            std::cerr << "usage: kavri-peer member|origin --port N\n";
            return 2;
        }
        std::cerr << "[kavri-peer] " << kind << " on 127.0.0.1:" << port << "\n";
        int signal = 0;
        sigwait(&signals, &signal);
    } catch (const std::exception& e) {
        std::cerr << "[kavri-peer] " << e.what() << "\n";
        return 1;
    }
    return 0;
}
