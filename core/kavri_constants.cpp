#include "core/kavri_constants.h"

#include "core/deployment.h"

#ifndef KAVRI_BUNDLE_VERSION
#define KAVRI_BUNDLE_VERSION "0"
#endif
#ifndef KAVRI_SHORT_VERSION
#define KAVRI_SHORT_VERSION "0.0.0"
#endif

namespace kavri {

std::string KavriConstants::apiBaseURL() { return Deployment::current().apiBaseURL; }
std::string KavriConstants::supportURL() { return Deployment::current().supportURL; }
std::string KavriConstants::botURL() { return Deployment::current().botURL; }
std::string KavriConstants::testflightURL() { return Deployment::current().testflightURL; }
std::string KavriConstants::otherDevicesURL() { return Deployment::current().otherDevicesURL; }
std::string KavriConstants::privacyURL() { return Deployment::current().privacyURL; }
std::string KavriConstants::termsURL() { return Deployment::current().termsURL; }
std::string KavriConstants::webBotURL() { return Deployment::current().webBotURL; }

const PlistValue::Dict& KavriConstants::bundleInfo() {
    static const PlistValue::Dict info{
        {"CFBundleVersion", KAVRI_BUNDLE_VERSION},
        {"CFBundleShortVersionString", KAVRI_SHORT_VERSION},
    };
    return info;
}

namespace {

std::string questionIfMissing(const PlistValue::Dict& info, const char* key) {
    const auto it = info.find(key);
    if (it == info.end() || !it->second.is<std::string>()) return "?";
    return *it->second.get<std::string>();
}

}  // namespace

std::string KavriConstants::versionText(const PlistValue::Dict& info) {
    return questionIfMissing(info, "CFBundleShortVersionString") + " (" + questionIfMissing(info, "CFBundleVersion") +
           ")";
}

std::string KavriConstants::versionText() { return versionText(bundleInfo()); }

std::string KavriConstants::buildFromInfo(const PlistValue::Dict& info) {
    const auto it = info.find("CFBundleVersion");
    if (it == info.end() || !it->second.is<std::string>()) return "0";
    return *it->second.get<std::string>();
}

const std::string& KavriConstants::clientBuild() {
    static const std::string build = buildFromInfo(bundleInfo());
    return build;
}

}  // namespace kavri
