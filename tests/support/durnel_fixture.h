#pragma once
// A test with the durnel program in a process of its own: a shared directory
// of its own laid out as the app leaves it before a tunnel starts (rule
// files, token, device id, probes to the rig's origin), the rig around it on
// loopback, and launches that wait until the program serves its socket.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

#include "core/kavri_store.h"
#include "platform/ne/tunnel_control_client.h"
#include "testing/child_process.h"
#include "testing/tunnel_rig.h"
#include "tests/support/temp_dir.h"

namespace kavri::test {

class DurnelFixture : public ::testing::Test {
protected:
    void SetUp() override {
        namespace fs = std::filesystem;
        fs::create_directories(shared / "rules");
        for (const auto& e : fs::directory_iterator(fs::path(KAVRI_SOURCE_DIR) / "resources" / "rules"))
            fs::copy_file(e.path(), shared / "rules" / e.path().filename());
        std::ofstream(dir / "deployment.json") << rig.controlPlane.deployment().toJson();
        KavriStore store(shared);
        rig.prepareStore(store);
    }

    std::string hbURL() const { return rig.origin.url("/generate_204"); }

    // A new durnel process, once it listens on its socket (a killed run
    // leaves its socket file behind until the new process takes it over; a
    // slow start under a sanitizer only delays the line). Each launch logs
    // to a file of its own.
    std::unique_ptr<ChildProcess> launch() {
        using namespace std::chrono_literals;
        const auto log = dir / ("durnel-" + std::to_string(++launches_) + ".log");
        auto child = std::make_unique<ChildProcess>(
            std::filesystem::path(KAVRI_BINARY_DIR) / "tunnel" / "durnel", std::vector<std::string>{},
            std::map<std::string, std::string>{{"KAVRI_SHARED_DIR", shared.string()},
                                               {"KAVRI_DEPLOYMENT", (dir / "deployment.json").string()},
                                               {"KAVRI_CONTROLLER", "127.0.0.1:" + std::to_string(rig.controllerPort)}},
            log);
        const std::string listening = "[Kavri] tunnel host: listening on " + socket().string();
        const auto deadline = std::chrono::steady_clock::now() + 60s;
        while (!child->outputHasLine(listening) && child->running() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(10ms);
        EXPECT_TRUE(child->outputHasLine(listening)) << "durnel never listened\n" << child->output();
        return child;
    }

    // A client on the socket of a launched durnel; null (and a failure) when
    // the program never answers.
    std::unique_ptr<TunnelControlClient> connect(ChildProcess& durnel) {
        using namespace std::chrono_literals;
        const auto deadline = std::chrono::steady_clock::now() + 30s;
        std::string lastError;
        while (std::chrono::steady_clock::now() < deadline) {
            try {
                return std::make_unique<TunnelControlClient>(socket(), 200ms);
            } catch (const TunnelControlClient::Error& e) {
                lastError = e.what();
                std::this_thread::sleep_for(10ms);
            }
        }
        ADD_FAILURE() << "durnel never answered on its socket: " << lastError << "\n" << durnel.output();
        return nullptr;
    }

    std::filesystem::path socket() const { return TunnelControlClient::socketPath(shared); }

    TempDir dir;
    std::filesystem::path shared = dir / "shared";
    TunnelRig rig;

private:
    int launches_ = 0;
};

}  // namespace kavri::test
