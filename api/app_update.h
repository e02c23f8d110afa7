#pragma once

#include <cstdint>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>

#include "api/app_update_info.h"
#include "core/kavri_store.h"
#include "core/plist_value.h"

namespace kavri {

// Which build runs, and which build the service offers: the update manifest
// "dl/latest.json" on every control-plane host, then on the distribution
// host. Every failure is silent and yields nothing.
class AppUpdate {
public:
    static constexpr std::chrono::seconds requestTimeout{5};

    // The distribution host's manifest (the deployment's).
    static std::string manifestURL();

    // The running app's build: its "CFBundleVersion" as a whole decimal
    // number; 0 when absent, not text or not a number.
    static std::int64_t currentBuild();
    static std::int64_t buildNumber(const PlistValue::Dict& info);
    // Its "CFBundleShortVersionString"; "?" when absent or not text.
    static std::string currentVersion();
    static std::string versionText(const PlistValue::Dict& info);

    // The offer in a manifest fetched from `manifestAddress`; nothing for a
    // body that holds no usable offer.
    static std::optional<AppUpdateInfo> parse(std::string_view body, const std::string& manifestAddress);
    // One manifest: GET without any cache, 5 s.
    static std::optional<AppUpdateInfo> fetch(const std::string& manifestAddress, std::stop_token stop = {});
    // The control-plane hosts in their order, one request at a time, then the
    // distribution host; the first offer found.
    static std::optional<AppUpdateInfo> fetchLatest(std::stop_token stop = {},
                                                    KavriStore& store = KavriStore::shared());
};

}  // namespace kavri
