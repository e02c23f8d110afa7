#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>

#include "platform/ne/tunnel_control_client.h"
#include "platform/ne/tunnel_options.h"
#include "platform/ne/tunnel_provider_environment.h"
#include "platform/ne/tunnel_provider_preferences.h"
#include "platform/ne/tunnel_status.h"
#include "platform/runtime/spawner.h"

namespace kavri {

// The connection of one VPN profile, as the app sees it: the tunnel's status
// and connected date as the tunnel host in the durnel process reports them,
// start and stop, provider messages, and status notifications.
//
// - No durnel serving the shared directory reads as disconnected; a start
//   then starts durnel, detached, and waits until it serves its socket. A
//   durnel that appears later (started by another app process) is attached
//   to within a watch interval.
// - On demand: while the profile's saved on-demand setting is on, a tunnel
//   that goes down without a stop (durnel died, or the provider cancelled the
//   run) is started again with the options of the last start made here, at
//   most once per onDemandInterval, until it is up, a start or stop is asked
//   for, or on-demand is turned off.
// Safe from any thread.
class TunnelProviderSession {
public:
    using Snapshot = TunnelControlProtocol::Snapshot;
    // Runs a notification handler where the observer wants it (its main
    // thread), later: never at once on the calling thread.
    using Queue = std::function<void(std::function<void()>)>;

    explicit TunnelProviderSession(TunnelProviderEnvironment environment);
    ~TunnelProviderSession();
    TunnelProviderSession(const TunnelProviderSession&) = delete;
    TunnelProviderSession& operator=(const TunnelProviderSession&) = delete;

    // invalid until the profile is saved.
    TunnelStatus status() const;
    std::optional<Clock::WallTime> connectedDate() const;
    // Why the last run ended, when it ended with an error.
    std::optional<std::string> lastError() const;

    // Starts the tunnel with `options` (their JSON types reach the extension
    // unchanged) and returns once the provider has completed. Throws
    // TunnelProviderError: configurationInvalid (profile not saved or gone),
    // configurationDisabled, configurationStale (saved by another writer since
    // this profile was loaded), connectionFailed (durnel could not be started
    // or reached, the start was refused or failed).
    void startVPNTunnel(const TunnelOptions& options);
    // Stops the tunnel and returns once it is down; nothing when none runs.
    void stopVPNTunnel();
    // Hands `data` to the running provider; `responseHandler` gets its reply
    // (nothing for no reply) later, on a thread of the session's. Throws
    // TunnelProviderError (connectionFailed) when the tunnel is neither
    // connected nor reasserting: then nothing is sent.
    void sendProviderMessage(std::string data, std::function<void(std::optional<std::string>)> responseHandler);

    // Calls `handler` through `queue` with every status the connection takes,
    // in order. Returns the observer's token.
    int observeStatus(Queue queue, std::function<void(const Snapshot&)> handler);
    void removeObserver(int token);

    // The profile this connection belongs to (the manager calls it after each
    // save and load).
    void setProfile(const std::string& identifier, std::uint64_t revision, bool enabled);

private:
    struct Observer {
        Queue queue;
        std::function<void(const Snapshot&)> handler;
    };

    std::shared_ptr<TunnelControlClient> liveClient() const;
    // Attaches to a serving tunnel host unless attached; false when none answers.
    bool tryAttach();
    // Attaches anew (attachMutex_ held): one client at a time.
    bool attachLocked();
    // The client of a serving tunnel host, started when none runs.
    std::shared_ptr<TunnelControlClient> ensureHost();
    void onEvent(const TunnelControlClient* from, const Snapshot& snapshot);
    // Takes `next` as the status; `hostGone` when durnel went away.
    void applyLocked(const Snapshot& next, bool hostGone);
    void notifyObservers(const Snapshot& snapshot);
    void watch(std::stop_token stop);
    void watchOnce();
    void restartOnDemand();
    bool onDemandEnabled(const std::string& identifier) const;

    const TunnelProviderEnvironment env_;
    const TunnelProviderPreferences preferences_;
    Clock& clock_;

    mutable std::mutex mutex_;
    std::string identifier_;
    std::uint64_t revision_ = 0;
    bool enabled_ = false;
    std::shared_ptr<TunnelControlClient> client_;
    bool sawEvent_ = false;  // the attached client delivered an event
    Snapshot snapshot_;
    TunnelOptions lastOptions_;  // null before the first start
    bool dropped_ = false;       // went down without a stop; on-demand not yet decided
    bool restartWanted_ = false;
    std::optional<Clock::MonoTime> lastOnDemandStart_;

    std::mutex attachMutex_;  // one attach or launch at a time
    std::mutex observersMutex_;
    std::map<int, Observer> observers_;
    int nextObserver_ = 1;

    Spawner messages_;
    std::jthread watcher_;  // last: it ends before the rest goes
};

}  // namespace kavri
