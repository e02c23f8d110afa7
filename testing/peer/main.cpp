// kavri-peer: a loopback peer for local runs.
//
//   kavri-peer member --port N    an HTTP/SOCKS5 forward proxy (a group member)
//   kavri-peer origin --port N    an origin server (/generate_204, /hello, /stream)
//
// Runs until SIGINT or SIGTERM. A port another program holds ends it at once
// with status 1. Its log lines go whole, time-stamped, to standard error, so
// that several peers can share one log file.
#include <signal.h>

#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>

#include "platform/runtime/log.h"
#include "testing/member_proxy.h"
#include "testing/origin_server.h"

using kavri::Log;

namespace {

int usage() {
    std::cerr << "usage: kavri-peer member|origin --port N\n";
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4 || std::string(argv[2]) != "--port") return usage();
    const std::string kind = argv[1];
    char* end = nullptr;
    const long port = std::strtol(argv[3], &end, 10);
    if (*end != '\0' || port < 1 || port > 65535 || (kind != "member" && kind != "origin")) return usage();

    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    const std::string name = "[kavri-peer] " + kind + " " + std::to_string(port);
    try {
        std::unique_ptr<kavri::MemberProxy> member;
        std::unique_ptr<kavri::OriginServer> origin;
        if (kind == "member")
            member = std::make_unique<kavri::MemberProxy>(static_cast<std::uint16_t>(port));
        else
            origin = std::make_unique<kavri::OriginServer>(static_cast<int>(port));
        Log::line(name + ": serving on 127.0.0.1:" + std::to_string(port));
        int signal = 0;
        sigwait(&signals, &signal);
        Log::line(name + ": stopping");
    } catch (const std::exception& e) {
        Log::line(name + ": !! " + e.what());
        return 1;
    }
    return 0;
}
