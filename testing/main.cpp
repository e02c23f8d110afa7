// kavri-control-plane: a local control-plane host over HTTPS on loopback.
//
//   kavri-control-plane [--port N] [--subscriptions DIR] [--write-deployment FILE]
//                       [--provision TOKEN]
//
// Serves "GET /sub/<token>" from DIR/<token>.json (read on every request,
// sealed to the client's key when it sends one); with --provision, "POST
// /provision" issues TOKEN and "GET /status/TOKEN" answers a trial account
// (else provisioning answers 503). Prints the deployment a
// client needs (hosts, server public key, CA bundle) as JSON, or writes it to
// FILE. Runs until interrupted.
#include <signal.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <unistd.h>

#include "platform/runtime/log.h"
#include "testing/test_control_plane.h"

using namespace kavri;

namespace {

int usage() {
    std::cerr << "usage: kavri-control-plane [--port N] [--subscriptions DIR] [--write-deployment FILE]"
                 " [--provision TOKEN]\n";
    return 2;
}

bool writeAtomically(const std::filesystem::path& file, const std::string& text) {
    const auto temporary = file.string() + ".tmp-" + std::to_string(getpid());
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << text << '\n';
        if (!out.flush()) return false;
    }
    std::error_code error;
    std::filesystem::rename(temporary, file, error);
    return !error;
}

}  // namespace

int main(int argc, char** argv) {
    int port = 0;
    std::filesystem::path subscriptions = "testing/sample";
    std::string deploymentFile;
    std::string provisioned;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc) return usage();
        if (arg == "--port") {
            char* end = nullptr;
            const long value = std::strtol(argv[++i], &end, 10);
            if (*end != '\0' || value < 0 || value > 65535) return usage();
            port = static_cast<int>(value);
        } else if (arg == "--subscriptions") {
            subscriptions = argv[++i];
        } else if (arg == "--write-deployment") {
            deploymentFile = argv[++i];
        } else if (arg == "--provision") {
            provisioned = argv[++i];
            if (provisioned.empty()) return usage();
        } else {
            return usage();
        }
    }

    // Every thread inherits the blocked signals; the main thread waits for them.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    try {
        TestControlPlane plane(port);
        plane.setSubscriptionDirectory(std::filesystem::absolute(subscriptions));
        if (!provisioned.empty()) {
            plane.setProvisionedToken(provisioned);
            plane.setStatus(provisioned, R"({"state":"trial"})");
        }
        const std::string deployment = plane.deployment().toJson();
        if (deploymentFile.empty()) {
            std::cout << deployment << std::endl;
        } else if (!writeAtomically(deploymentFile, deployment)) {
            Log::line("[Kavri] !! cannot write the deployment to " + deploymentFile);
            return 1;
        }
        Log::line("[Kavri] >> control plane on " + plane.baseURL() + ", subscriptions from " +
                  std::filesystem::absolute(subscriptions).string());
        int received = 0;
        sigwait(&signals, &received);
        Log::line("[Kavri] control plane stopping");
    } catch (const std::exception& e) {
        Log::line(std::string("[Kavri] !! control plane: ") + e.what());
        return 1;
    }
    return 0;
}
