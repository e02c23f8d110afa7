#pragma once

#include <string>

#include "core/plist_value.h"

namespace kavri {

// The product's identifiers, links, capability list and build number.
class KavriConstants {
public:
    static constexpr const char* platformName = "macos";
    static constexpr const char* appBundleID = "com.kavri-app.mac";
    static constexpr const char* tunnelBundleID = "com.kavri-app.mac.tunnel";
    static constexpr const char* appGroup = "group.com.kavri-app.app.shared";
    static constexpr const char* backgroundRefreshIdentifier = "com.kavri-app.app.refresh";
    static constexpr const char* urlScheme = "kavri";
    static constexpr const char* legalEntity = "Каври";
    // Sent unchanged as "X-Kavri-Caps".
    static constexpr const char* clientCaps =
        "selector,switch,groupn,goodput,cplearn,panic,cfgreset,stab2,proto=reality|httpupgrade|hysteria2|anytls|ss2022";
    // Seconds between subscription pulls when the server names none.
    static constexpr double defaultPullInterval = 21600;

    // Deployment links (see Deployment).
    static std::string apiBaseURL();
    static std::string supportURL();
    static std::string botURL();
    static std::string testflightURL();
    static std::string otherDevicesURL();
    static std::string privacyURL();
    static std::string termsURL();
    static std::string webBotURL();

    // The running program's build number ("X-Kavri-Build").
    static const std::string& clientBuild();
    // The build number an information dictionary names: its "CFBundleVersion"
    // when that is text, else "0".
    static std::string buildFromInfo(const PlistValue::Dict& info);
    // "<short version> (<build>)" of an information dictionary, "?" for a
    // missing or non-text value; of the running program without one.
    static std::string versionText(const PlistValue::Dict& info);
    static std::string versionText();
    // The running program's information dictionary.
    static const PlistValue::Dict& bundleInfo();
};

}  // namespace kavri
