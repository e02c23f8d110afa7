#pragma once
// A test of the app side of the tunnel against a real durnel that the VPN
// service's stand-in starts by itself: the rig and the shared directory of
// DurnelFixture, a configuration folder of its own for the profiles file,
// and the settings a started durnel needs to find the rig. Whatever durnel
// serves the shared directory at the end is killed.
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <future>
#include <sstream>
#include <optional>
#include <thread>

#include "app/runtime/manual_executor.h"
#include "app/vpn_manager/vpn_manager.h"
#include "platform/ne/peer_credentials.h"
#include "platform/ne/tunnel_provider_environment.h"
#include "tests/support/durnel_fixture.h"

namespace kavri::test {

class VpnFixture : public DurnelFixture {
protected:
    void TearDown() override {
        if (const auto pid = durnelPid()) killAndWait(*pid);
    }

    TunnelProviderEnvironment environment() const {
        TunnelProviderEnvironment env;
        env.sharedDirectory = shared;
        env.preferencesDirectory = config;
        env.durnel.program = std::filesystem::path(KAVRI_BINARY_DIR) / "tunnel" / "durnel";
        env.durnel.environment = {{"KAVRI_DEPLOYMENT", (dir / "deployment.json").string()},
                                  {"KAVRI_CONTROLLER", "127.0.0.1:" + std::to_string(rig.controllerPort)}};
        env.durnel.logFile = durnelLog();
        env.clock = &Clock::system();
        env.watchInterval = std::chrono::milliseconds(100);
        return env;
    }

    // A VPN manager's ports for this rig, over `store`, for device "DEVICE-1".
    VPNManager::Deps vpnDeps(KavriStore& store) const {
        VPNManager::Deps d;
        d.tunnel = environment();
        d.store = &store;
        d.deviceID = [] { return std::string("DEVICE-1"); };
        d.metadataVersion = [](std::string_view) { return std::optional<std::int64_t>(1); };
        return d;
    }

    std::filesystem::path durnelLog() const { return dir / "durnel-started.log"; }
    std::string durnelOutput() const {
        std::ifstream in(durnelLog());
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }
    std::size_t durnelLines(const std::string& fragment) const {
        std::istringstream in(durnelOutput());
        std::size_t n = 0;
        for (std::string l; std::getline(in, l);) n += l.find(fragment) != std::string::npos;
        return n;
    }

    // The process serving the control socket, as the kernel names the peer.
    std::optional<pid_t> durnelPid() const {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::strncpy(a.sun_path, socket().c_str(), sizeof a.sun_path - 1);
        std::optional<pid_t> pid;
        if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0)
            if (const auto peer = PeerCredentials::of(fd)) pid = peer->pid;
        ::close(fd);
        return pid;
    }

    // Kills a process that is not our child and waits (real time) until it is gone.
    static bool killAndWait(pid_t pid, int signal = SIGKILL) {
        ::kill(pid, signal);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (std::chrono::steady_clock::now() < deadline) {
            if (::kill(pid, 0) != 0 || zombie(pid)) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    // Dead but not yet reaped (its parent is whoever adopted it).
    static bool zombie(pid_t pid) {
        std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const auto close = text.rfind(')');
        return close != std::string::npos && close + 2 < text.size() && text[close + 2] == 'Z';
    }

    // Runs a blocking call off the main thread while the main thread serves it.
    template <class F>
    auto offMain(F&& work) -> std::invoke_result_t<F> {
        auto done = std::async(std::launch::async, std::forward<F>(work));
        main.runUntil([&] { return done.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
                      std::chrono::seconds(120));
        return done.get();
    }

    std::filesystem::path config = dir / "config";
    ManualExecutor main;
};

}  // namespace kavri::test
