#include "platform/ne/tunnel_provider_session.h"

#include <vector>

#include "platform/ne/tunnel_provider_error.h"
#include "platform/runtime/log.h"

namespace kavri {
namespace {

using Code = TunnelProviderError::Code;
using namespace std::chrono_literals;

bool isUp(TunnelStatus s) { return s == TunnelStatus::connected || s == TunnelStatus::reasserting; }

}  // namespace

TunnelProviderSession::TunnelProviderSession(TunnelProviderEnvironment environment)
    : env_(std::move(environment)),
      preferences_(env_.preferencesDirectory.empty() ? TunnelProviderPreferences::defaultDirectory()
                                                     : env_.preferencesDirectory),
      clock_(env_.clockOrSystem()) {
    snapshot_.status = TunnelStatus::invalid;
}

TunnelProviderSession::~TunnelProviderSession() {
    if (watcher_.joinable()) watcher_.request_stop();
    // A start or message waiting for the host gives up now.
    if (auto client = liveClient()) client->shutdown();
    if (watcher_.joinable()) watcher_.join();
    messages_.stopAll();
    std::shared_ptr<TunnelControlClient> client;
    {
        std::lock_guard lock(mutex_);
        client = std::move(client_);
    }
}

TunnelStatus TunnelProviderSession::status() const {
    std::lock_guard lock(mutex_);
    return snapshot_.status;
}

std::optional<Clock::WallTime> TunnelProviderSession::connectedDate() const {
    std::lock_guard lock(mutex_);
    return snapshot_.connectedDate;
}

std::optional<std::string> TunnelProviderSession::lastError() const {
    std::lock_guard lock(mutex_);
    return snapshot_.lastError;
}

void TunnelProviderSession::setProfile(const std::string& identifier, std::uint64_t revision, bool enabled) {
    bool first = false;
    {
        std::lock_guard lock(mutex_);
        first = identifier_.empty() && !identifier.empty();
        identifier_ = identifier;
        revision_ = revision;
        enabled_ = enabled;
        if (first) applyLocked(Snapshot{}, false);  // saved: disconnected until a host says otherwise
    }
    if (first) {
        tryAttach();
        watcher_ = std::jthread([this](std::stop_token stop) { watch(stop); });
    }
}

// ---- Requests ---------------------------------------------------------------

void TunnelProviderSession::startVPNTunnel(const TunnelOptions& options) {
    std::string identifier;
    std::uint64_t revision;
    {
        std::lock_guard lock(mutex_);
        if (identifier_.empty()) throw TunnelProviderError(Code::configurationInvalid, "the VPN profile is not saved");
        if (!enabled_) throw TunnelProviderError(Code::configurationDisabled, "the VPN profile is disabled");
        identifier = identifier_;
        revision = revision_;
    }
    const auto stored = preferences_.load(identifier);
    if (!stored) throw TunnelProviderError(Code::configurationInvalid, "the VPN profile is gone");
    if (stored->revision != revision)
        throw TunnelProviderError(Code::configurationStale,
                                  "the VPN profile was saved by another writer since it was loaded");
    {
        std::lock_guard lock(mutex_);
        lastOptions_ = options;
        restartWanted_ = false;
        dropped_ = false;
    }
    const auto client = ensureHost();
    try {
        // A start while the previous run is still stopping waits for it at the host.
        client->start(options, env_.startTimeout);
    } catch (const TunnelControlClient::Error& e) {
        throw TunnelProviderError(Code::connectionFailed, e.what());
    }
}

void TunnelProviderSession::stopVPNTunnel() {
    {
        std::lock_guard lock(mutex_);
        restartWanted_ = false;
        dropped_ = false;
    }
    const auto client = liveClient();
    if (!client) return;
    try {
        client->stop(ProviderStopReason::userInitiated, env_.stopTimeout);
    } catch (const TunnelControlClient::Error& e) {
        Log::line(std::string("[Kavri] !! VPN: the tunnel did not stop: ") + e.what());
    }
}

void TunnelProviderSession::sendProviderMessage(std::string data,
                                                std::function<void(std::optional<std::string>)> responseHandler) {
    const auto client = liveClient();
    if (!client || !isUp(status()))
        throw TunnelProviderError(Code::connectionFailed, "the tunnel is not connected");
    messages_.spawn([client, data = std::move(data), handler = std::move(responseHandler),
                     timeout = env_.messageTimeout] {
        std::optional<std::string> reply;
        try {
            reply = client->sendMessage(data, timeout);
        } catch (const TunnelControlClient::Error&) {
            // not delivered (the tunnel went down meanwhile): no reply
        }
        handler(std::move(reply));
    });
}

// ---- Notifications ----------------------------------------------------------

int TunnelProviderSession::observeStatus(Queue queue, std::function<void(const Snapshot&)> handler) {
    std::lock_guard lock(observersMutex_);
    const int token = nextObserver_++;
    observers_.emplace(token, Observer{std::move(queue), std::move(handler)});
    return token;
}

void TunnelProviderSession::removeObserver(int token) {
    std::lock_guard lock(observersMutex_);
    observers_.erase(token);
}

void TunnelProviderSession::notifyObservers(const Snapshot& snapshot) {
    std::vector<Observer> targets;
    {
        std::lock_guard lock(observersMutex_);
        for (const auto& [token, o] : observers_) targets.push_back(o);
    }
    for (const Observer& o : targets) o.queue([handler = o.handler, snapshot] { handler(snapshot); });
}

// ---- The tunnel host --------------------------------------------------------

std::shared_ptr<TunnelControlClient> TunnelProviderSession::liveClient() const {
    std::lock_guard lock(mutex_);
    return client_ && client_->connected() ? client_ : nullptr;
}

bool TunnelProviderSession::tryAttach() {
    std::lock_guard attaching(attachMutex_);
    return liveClient() != nullptr || attachLocked();
}

bool TunnelProviderSession::attachLocked() {
    std::shared_ptr<TunnelControlClient> client;
    try {
        client = std::make_shared<TunnelControlClient>(TunnelControlClient::socketPath(env_.sharedDirectory), 2s);
    } catch (const TunnelControlClient::Error&) {
        return false;
    }
    std::shared_ptr<TunnelControlClient> previous;  // ends outside the lock: its reader may be waiting for it
    {
        std::lock_guard lock(mutex_);
        previous = std::exchange(client_, client);
        sawEvent_ = false;
    }
    previous.reset();
    const TunnelControlClient* raw = client.get();
    client->subscribe([this, raw](const Snapshot& s) { onEvent(raw, s); });
    {
        std::lock_guard lock(mutex_);
        // The greeting, unless a later event already came in.
        if (client_.get() == raw && !sawEvent_) applyLocked(client->latest(), false);
    }
    return true;
}

std::shared_ptr<TunnelControlClient> TunnelProviderSession::ensureHost() {
    std::lock_guard attaching(attachMutex_);
    if (auto client = liveClient()) return client;
    if (attachLocked()) {
        if (auto client = liveClient()) return client;
    }
    try {
        DurnelLauncher::launch(env_.durnel, env_.sharedDirectory);
    } catch (const std::exception& e) {
        throw TunnelProviderError(Code::connectionFailed, std::string("cannot start the tunnel extension: ") + e.what());
    }
    // Real time: the new process needs it whatever the clock says.
    const auto deadline = std::chrono::steady_clock::now() + env_.launchTimeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (attachLocked()) {
            if (auto client = liveClient()) return client;
        }
        std::this_thread::sleep_for(20ms);
    }
    throw TunnelProviderError(Code::connectionFailed, "the tunnel extension did not answer on " +
                                                          TunnelControlClient::socketPath(env_.sharedDirectory).string());
}

void TunnelProviderSession::onEvent(const TunnelControlClient* from, const Snapshot& snapshot) {
    {
        std::lock_guard lock(mutex_);
        if (client_.get() != from) return;  // an earlier host's
        sawEvent_ = true;
        applyLocked(snapshot, false);
    }
}

void TunnelProviderSession::applyLocked(const Snapshot& next, bool hostGone) {
    const Snapshot previous = snapshot_;
    snapshot_ = identifier_.empty() ? Snapshot{TunnelStatus::invalid, std::nullopt, std::nullopt} : next;
    notifyObservers(snapshot_);  // under the lock, so that observers get the statuses in order
    if (snapshot_.status != TunnelStatus::disconnected || previous.status == TunnelStatus::disconnected) return;
    // A run that ended without being asked to: the host went away under it,
    // or the provider cancelled it (the host then reports its error).
    const bool wasRunning = isUp(previous.status) || previous.status == TunnelStatus::connecting;
    const bool cancelled = snapshot_.lastError.has_value() && previous.status != TunnelStatus::connecting;
    if (hostGone ? wasRunning : cancelled) dropped_ = true;
}

// ---- Watching ---------------------------------------------------------------

void TunnelProviderSession::watch(std::stop_token stop) {
    while (!stop.stop_requested()) {
        watchOnce();
        clock_.sleepFor(env_.watchInterval, stop);
    }
}

void TunnelProviderSession::watchOnce() {
    std::shared_ptr<TunnelControlClient> dead;
    {
        std::lock_guard lock(mutex_);
        if (client_ && !client_->connected()) {
            dead = std::move(client_);
            applyLocked(Snapshot{}, true);
        }
    }
    const bool gone = dead != nullptr;
    dead.reset();
    if (gone) Log::line("[Kavri] VPN: the tunnel extension went away");
    bool attached;
    {
        std::lock_guard lock(mutex_);
        attached = client_ != nullptr;
    }
    if (!attached) tryAttach();

    std::string identifier;
    bool decide;
    {
        std::lock_guard lock(mutex_);
        decide = std::exchange(dropped_, false);
        identifier = identifier_;
    }
    if (decide) {
        const bool onDemand = onDemandEnabled(identifier);
        bool known;
        {
            std::lock_guard lock(mutex_);
            known = !lastOptions_.is_null();
            restartWanted_ = onDemand && known;
        }
        if (!onDemand)
            Log::line("[Kavri] VPN: the tunnel went down without a stop; on-demand is off, it stays down");
        else if (!known)
            Log::line("[Kavri] VPN: the tunnel went down without a stop; no start here to repeat, it stays down");
        else
            Log::line("[Kavri] VPN: the tunnel went down without a stop; on-demand starts it again");
    }
    restartOnDemand();
}

void TunnelProviderSession::restartOnDemand() {
    TunnelOptions options;
    std::string identifier;
    {
        std::lock_guard lock(mutex_);
        if (!restartWanted_) return;
        if (isUp(snapshot_.status) || snapshot_.status == TunnelStatus::connecting) {
            restartWanted_ = false;  // someone else brought it up
            return;
        }
        const auto now = clock_.monoNow();
        if (lastOnDemandStart_ && now - *lastOnDemandStart_ < env_.onDemandInterval) return;
        lastOnDemandStart_ = now;
        options = lastOptions_;
        identifier = identifier_;
    }
    if (!onDemandEnabled(identifier)) {
        std::lock_guard lock(mutex_);
        restartWanted_ = false;
        return;
    }
    Log::line("[Kavri] VPN: on-demand start");
    try {
        const auto client = ensureHost();
        if (client->latest().status != TunnelStatus::disconnected) return;
        client->start(options, env_.startTimeout);
        std::lock_guard lock(mutex_);
        restartWanted_ = false;
    } catch (const std::exception& e) {
        Log::line(std::string("[Kavri] !! VPN: the on-demand start failed: ") + e.what());
    }
}

bool TunnelProviderSession::onDemandEnabled(const std::string& identifier) const {
    if (identifier.empty()) return false;
    try {
        const auto stored = preferences_.load(identifier);
        return stored && stored->profile.isEnabled && stored->profile.isOnDemandEnabled;
    } catch (const TunnelProviderError&) {
        return false;
    }
}

}  // namespace kavri
