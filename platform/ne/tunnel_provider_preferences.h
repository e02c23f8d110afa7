#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/ne/tunnel_provider_profile.h"

namespace kavri {

// The VPN profiles of the app, kept in one file ("vpn-profiles.json", mode
// 0600) in the user's configuration folder. Every save reads the file under
// an exclusive lock ("vpn-profiles.lock"), checks that the profile is still
// the version its writer loaded, and replaces the file atomically; each save
// gives the profile a new revision. Any number of processes may share the
// file. Safe from any thread.
class TunnelProviderPreferences {
public:
    // One profile with the revision of its last save.
    struct Stored {
        TunnelProviderProfile profile;
        std::uint64_t revision = 0;
    };

    // The folder is created (0700) when first written.
    explicit TunnelProviderPreferences(std::filesystem::path directory);

    // The user's configuration folder (UserDataDirectory::configPath()).
    static std::filesystem::path defaultDirectory();

    // Every profile, in the order they were first saved; none without a file.
    // Throws TunnelProviderError (configurationReadWriteFailed) when the file
    // cannot be read, or holds something else than profiles: such a file is
    // kept aside ("vpn-profiles.json.corrupt-<seconds>") and the next call
    // finds no profiles.
    std::vector<Stored> loadAll() const;
    // The profile with that identifier, or nothing when there is none.
    std::optional<Stored> load(const std::string& identifier) const;

    // Saves `profile`. A profile without an identifier is new: it gets one and
    // revision 1. Otherwise the stored profile must still have revision
    // `loadedRevision`; when another writer saved it since (or removed it) the
    // save throws TunnelProviderError (configurationStale) and changes nothing.
    // Returns the profile as stored.
    Stored save(TunnelProviderProfile profile, std::uint64_t loadedRevision) const;

    const std::filesystem::path& file() const { return file_; }

private:
    std::vector<Stored> readLocked() const;
    void writeLocked(const std::vector<Stored>& profiles) const;

    std::filesystem::path directory_;
    std::filesystem::path file_;
    std::filesystem::path lockFile_;
};

}  // namespace kavri
