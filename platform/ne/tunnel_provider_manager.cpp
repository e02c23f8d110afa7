#include "platform/ne/tunnel_provider_manager.h"

#include "platform/ne/tunnel_provider_error.h"

namespace kavri {

namespace {

TunnelProviderPreferences preferencesOf(const TunnelProviderEnvironment& environment) {
    return TunnelProviderPreferences(environment.preferencesDirectory.empty()
                                         ? TunnelProviderPreferences::defaultDirectory()
                                         : environment.preferencesDirectory);
}

}  // namespace

TunnelProviderManager::TunnelProviderManager(TunnelProviderEnvironment environment)
    : preferences_(preferencesOf(environment)),
      session_(std::make_shared<TunnelProviderSession>(std::move(environment))) {}

TunnelProviderManager::~TunnelProviderManager() = default;

std::vector<std::shared_ptr<TunnelProviderManager>> TunnelProviderManager::loadAllFromPreferences(
    const TunnelProviderEnvironment& environment) {
    std::vector<std::shared_ptr<TunnelProviderManager>> out;
    for (const auto& stored : preferencesOf(environment).loadAll()) {
        auto manager = std::make_shared<TunnelProviderManager>(environment);
        manager->adopt(stored);
        out.push_back(std::move(manager));
    }
    return out;
}

TunnelProviderProfile TunnelProviderManager::profile() const {
    std::lock_guard lock(mutex_);
    return profile_;
}

void TunnelProviderManager::edit(const std::function<void(TunnelProviderProfile&)>& change) {
    std::lock_guard lock(mutex_);
    const std::string identifier = profile_.identifier;
    change(profile_);
    profile_.identifier = identifier;
}

void TunnelProviderManager::saveToPreferences() {
    TunnelProviderProfile profile;
    std::uint64_t revision;
    {
        std::lock_guard lock(mutex_);
        profile = profile_;
        revision = revision_;
    }
    adopt(preferences_.save(std::move(profile), revision));
}

void TunnelProviderManager::loadFromPreferences() {
    const std::string identifier = profile().identifier;
    if (identifier.empty())
        throw TunnelProviderError(TunnelProviderError::Code::configurationInvalid, "the VPN profile is not saved");
    const auto stored = preferences_.load(identifier);
    if (!stored) throw TunnelProviderError(TunnelProviderError::Code::configurationInvalid, "the VPN profile is gone");
    adopt(*stored);
}

void TunnelProviderManager::adopt(const TunnelProviderPreferences::Stored& stored) {
    {
        std::lock_guard lock(mutex_);
        profile_ = stored.profile;
        revision_ = stored.revision;
    }
    session_->setProfile(stored.profile.identifier, stored.revision, stored.profile.isEnabled);
}

}  // namespace kavri
