// kavri-tunnel: connects and disconnects the tunnel of a local durnel as the
// app does, for local runs.
//
//   kavri-tunnel connect --token T   pulls the subscription, builds the start
//                                    options and starts the tunnel
//   kavri-tunnel disconnect          stops it (user initiated)
//   kavri-tunnel status              prints the tunnel's status
//   kavri-tunnel message TEXT        sends a provider message, prints the reply
//                                    ("(empty reply)" or "(no reply)" when so)
//   kavri-tunnel watch               prints every status change until interrupted
//   kavri-tunnel app-state STATE     tells the extension the app is in the
//                                    "foreground" or "background"
//
// Like the app, connect leaves the app state alone: the extension beats at its
// background interval until `app-state foreground` says otherwise. It pulls
// with the app's own client and keeps the pull as the app does (the
// configuration, the metadata, the poll interval, the detection settings,
// the fallback hosts, and the token and device mirrored for the extension),
// so the extension starts exactly where the app's connect would start it.
//
// The shared directory is KAVRI_SHARED_DIR; the backend comes from
// KAVRI_DEPLOYMENT.
#include <signal.h>

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "api/device_id.h"
#include "api/subscription_client.h"
#include "api/subscription_pull.h"
#include "core/control_plane.h"
#include "core/deployment.h"
#include "core/kavri_defaults_key.h"
#include "core/kavri_store.h"
#include "core/kavri_token.h"
#include "core/ru_rules.h"
#include "platform/ne/tunnel_control_client.h"
#include "platform/runtime/clock.h"

using namespace kavri;
using namespace std::chrono_literals;

namespace {

int usage() {
    std::cerr << "usage: kavri-tunnel connect --token T | disconnect | status | message TEXT | watch\n"
                 "       kavri-tunnel app-state foreground|background\n";
    return 2;
}

std::string describe(const TunnelControlClient::Snapshot& s) {
    std::string out(tunnelStatusName(s.status));
    if (s.lastError) out += " (" + *s.lastError + ")";
    return out;
}

std::string reasonOf(const std::exception_ptr& error) {
    if (!error) return "no reason given";
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
    }
    return "an unknown error";
}

// One attempt's limit, as the app's subscription store sets it.
constexpr double pullAttemptSeconds = 8;

// Why a pull failed, with every host tried and where the hosts came from.
std::string describePullFailure(const std::exception& e) {
    std::string out = e.what();
    if (const auto* refused = dynamic_cast<const SubscriptionClient::FetchError*>(&e)) {
        using Kind = SubscriptionClient::FetchError::Kind;
        const int status = refused->kind() == Kind::unauthorized ? 401
                           : refused->kind() == Kind::expired    ? 402
                           : refused->kind() == Kind::suspended  ? 403
                                                                 : 0;
        if (status) out = "HTTP " + std::to_string(status) + " (" + out + ")";
    }
    if (const auto* exhausted = dynamic_cast<const ControlPlane::Exhausted*>(&e)) {
        if (exhausted->attempts.empty()) out += ": no host was tried";
        for (std::size_t i = 0; i < exhausted->attempts.size(); ++i)
            out += (i == 0 ? ": " : "; ") + exhausted->attempts[i].host + " (" +
                   reasonOf(exhausted->attempts[i].error) + ")";
    }
    const char* deployment = std::getenv("KAVRI_DEPLOYMENT");
    if (!deployment || !*deployment) {
        out += "\n  no deployment was given (KAVRI_DEPLOYMENT is not set): the built-in hosts were tried";
    } else {
        std::ifstream in(deployment);
        std::stringstream text;
        text << in.rdbuf();
        if (!in || !Deployment::fromJson(text.str()))
            out += "\n  KAVRI_DEPLOYMENT names " + std::string(deployment) +
                   ", which cannot be read as a deployment: the built-in hosts were tried";
    }
    return out;
}

int connect(const std::string& token) {
    TunnelControlClient client(TunnelControlClient::socketPath(KavriStore::directory()));
    if (const auto now = client.status(); now.status != TunnelStatus::disconnected) {
        std::cerr << "kavri-tunnel: the tunnel is " << tunnelStatusName(now.status)
                  << "; disconnect it first (kavri-tunnel disconnect)\n";
        return 1;
    }
    KavriStore& store = KavriStore::shared();
    RuRules::ensureSeeded();

    // The app's download, host by host, so that a failure names every host.
    const SubscriptionClient subscriptions(KavriHTTP::api(), store);
    const std::string bare = KavriToken::bare(token);
    SubscriptionClient::FetchResult fetched;
    try {
        fetched = ControlPlane::withFailover(
            SubscriptionClient::budgetSeconds,
            [&](const std::string& base) { return subscriptions.fetch(base, bare, pullAttemptSeconds); },
            Clock::system(), store);
    } catch (const std::exception& e) {
        std::cerr << "kavri-tunnel: the subscription could not be pulled: " << describePullFailure(e) << "\n";
        return 1;
    }
    SubscriptionPull::keep(store, fetched, token, Clock::system().wallNow());

    const TunnelOptions options = {{"configContent", fetched.singboxConfigData},
                                   {"subToken", bare},
                                   {"deviceID", DeviceID::current(store)},
                                   {"configVersion", fetched.meta.version},
                                   {"systemProxyEnabled", true},
                                   {"excludeDefaultRoute", false},
                                   {"autoRouteUseSubRangesByDefault", false},
                                   {"excludeAPNsRoute", false},
                                   {"includeAllNetworks", false}};
    const auto after = client.start(options);
    std::cout << describe(after) << "\n";
    return after.status == TunnelStatus::connected ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return usage();
    const std::string command = argv[1];
    try {
        if (command == "connect" && argc == 4 && std::string(argv[2]) == "--token") return connect(argv[3]);
        if (command == "app-state" && argc == 3) {
            const std::string state = argv[2];
            if (state != "foreground" && state != "background") return usage();
            KavriStore::shared().set(KavriDefaultsKey::appState, state);
            return 0;
        }
        TunnelControlClient client(TunnelControlClient::socketPath(KavriStore::directory()));
        if (command == "disconnect" && argc == 2) {
            std::cout << describe(client.stop(ProviderStopReason::userInitiated)) << "\n";
            return 0;
        }
        if (command == "status" && argc == 2) {
            std::cout << describe(client.status()) << "\n";
            return 0;
        }
        if (command == "message" && argc == 3) {
            const auto reply = client.sendMessage(argv[2], 3s);
            // An empty reply ("ping:" that failed) differs from no reply at all.
            std::cout << (!reply ? std::string("(no reply)") : reply->empty() ? std::string("(empty reply)") : *reply)
                      << "\n";
            return 0;
        }
        if (command == "watch" && argc == 2) {
            client.subscribe([](const TunnelControlClient::Snapshot& s) { std::cout << describe(s) << std::endl; });
            sigset_t signals;
            sigemptyset(&signals);
            sigaddset(&signals, SIGINT);
            sigaddset(&signals, SIGTERM);
            pthread_sigmask(SIG_BLOCK, &signals, nullptr);
            int signal = 0;
            sigwait(&signals, &signal);
            return 0;
        }
    } catch (const std::exception& e) {
        std::cerr << "kavri-tunnel: " << e.what() << "\n";
        return 1;
    }
    return usage();
}
