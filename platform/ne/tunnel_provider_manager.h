#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/ne/tunnel_provider_environment.h"
#include "platform/ne/tunnel_provider_preferences.h"
#include "platform/ne/tunnel_provider_profile.h"
#include "platform/ne/tunnel_provider_session.h"

namespace kavri {

// One VPN profile of the app with its connection, as the VPN service hands
// it out: the fields are edited in memory and written with
// saveToPreferences(); loadFromPreferences() reads them back. A save or a
// start of a profile that another writer saved since it was loaded fails as
// stale (TunnelProviderError::Code::configurationStale) until it is loaded
// again. Safe from any thread.
class TunnelProviderManager {
public:
    // A new profile, not yet saved (its connection reads invalid).
    explicit TunnelProviderManager(TunnelProviderEnvironment environment);
    ~TunnelProviderManager();
    TunnelProviderManager(const TunnelProviderManager&) = delete;
    TunnelProviderManager& operator=(const TunnelProviderManager&) = delete;

    // Every saved profile of the app, in the order they were first saved.
    // Throws TunnelProviderError when the profiles file cannot be read.
    static std::vector<std::shared_ptr<TunnelProviderManager>> loadAllFromPreferences(
        const TunnelProviderEnvironment& environment);

    TunnelProviderProfile profile() const;
    // Edits the fields in memory (the identifier is kept).
    void edit(const std::function<void(TunnelProviderProfile&)>& change);
    bool isOnDemandEnabled() const { return profile().isOnDemandEnabled; }

    // Throws TunnelProviderError (configurationStale, configurationReadWriteFailed).
    void saveToPreferences();
    // Throws TunnelProviderError (configurationInvalid when the profile was
    // never saved or is gone, configurationReadWriteFailed).
    void loadFromPreferences();

    // The profile's connection; the same object for the manager's life.
    std::shared_ptr<TunnelProviderSession> connection() const { return session_; }

private:
    void adopt(const TunnelProviderPreferences::Stored& stored);

    const TunnelProviderPreferences preferences_;
    mutable std::mutex mutex_;
    TunnelProviderProfile profile_;
    std::uint64_t revision_ = 0;
    std::shared_ptr<TunnelProviderSession> session_;
};

}  // namespace kavri
