#include "platform/ne/tunnel_provider_preferences.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>

#include <nlohmann/json.hpp>

#include "platform/ne/tunnel_provider_error.h"
#include "platform/runtime/log.h"
#include "platform/runtime/uuid.h"
#include "platform/userdata/private_file.h"
#include "platform/userdata/user_data_directory.h"

namespace kavri {
namespace {

using nlohmann::ordered_json;
using Code = TunnelProviderError::Code;

// Threads of one process take this before the file lock (flock alone
// excludes them too, but only once each has opened the lock file).
std::mutex& fileMutex() {
    static std::mutex m;
    return m;
}

ordered_json encode(const TunnelProviderPreferences::Stored& s) {
    const TunnelProviderProfile& p = s.profile;
    ordered_json rules = ordered_json::array();
    for (const OnDemandRule& r : p.onDemandRules) {
        switch (r.action) {
            case OnDemandRule::Action::connect:
                rules.push_back({{"action", "connect"}});
                break;
        }
    }
    return {{"identifier", p.identifier},
            {"revision", s.revision},
            {"protocol",
             {{"providerBundleIdentifier", p.protocolConfiguration.providerBundleIdentifier},
              {"serverAddress", p.protocolConfiguration.serverAddress}}},
            {"localizedDescription", p.localizedDescription},
            {"enabled", p.isEnabled},
            {"onDemandEnabled", p.isOnDemandEnabled},
            {"onDemandRules", rules}};
}

std::optional<TunnelProviderPreferences::Stored> decode(const ordered_json& j) {
    if (!j.is_object()) return std::nullopt;
    auto text = [&](const ordered_json& o, const char* key) -> std::optional<std::string> {
        const auto it = o.find(key);
        if (it == o.end() || !it->is_string()) return std::nullopt;
        return it->get<std::string>();
    };
    auto flag = [&](const char* key) -> std::optional<bool> {
        const auto it = j.find(key);
        if (it == j.end() || !it->is_boolean()) return std::nullopt;
        return it->get<bool>();
    };
    const auto identifier = text(j, "identifier");
    const auto revision = j.find("revision");
    const auto protocol = j.find("protocol");
    const auto rules = j.find("onDemandRules");
    if (!identifier || identifier->empty() || revision == j.end() || !revision->is_number_unsigned() ||
        protocol == j.end() || !protocol->is_object() || rules == j.end() || !rules->is_array())
        return std::nullopt;
    TunnelProviderPreferences::Stored s;
    s.revision = revision->get<std::uint64_t>();
    TunnelProviderProfile& p = s.profile;
    p.identifier = *identifier;
    const auto bundle = text(*protocol, "providerBundleIdentifier");
    const auto server = text(*protocol, "serverAddress");
    const auto description = text(j, "localizedDescription");
    const auto enabled = flag("enabled");
    const auto onDemand = flag("onDemandEnabled");
    if (!bundle || !server || !description || !enabled || !onDemand) return std::nullopt;
    p.protocolConfiguration = {*bundle, *server};
    p.localizedDescription = *description;
    p.isEnabled = *enabled;
    p.isOnDemandEnabled = *onDemand;
    for (const auto& r : *rules) {
        if (!r.is_object() || text(r, "action") != "connect") return std::nullopt;
        p.onDemandRules.push_back({OnDemandRule::Action::connect});
    }
    return s;
}

}  // namespace

TunnelProviderPreferences::TunnelProviderPreferences(std::filesystem::path directory)
    : directory_(std::move(directory)),
      file_(directory_ / "vpn-profiles.json"),
      lockFile_(directory_ / "vpn-profiles.lock") {}

std::filesystem::path TunnelProviderPreferences::defaultDirectory() { return UserDataDirectory::configPath(); }

std::vector<TunnelProviderPreferences::Stored> TunnelProviderPreferences::loadAll() const {
    std::lock_guard guard(fileMutex());
    PrivateFile::Lock lock(lockFile_);
    return readLocked();
}

std::optional<TunnelProviderPreferences::Stored> TunnelProviderPreferences::load(const std::string& identifier) const {
    for (Stored& s : loadAll())
        if (s.profile.identifier == identifier) return std::move(s);
    return std::nullopt;
}

TunnelProviderPreferences::Stored TunnelProviderPreferences::save(TunnelProviderProfile profile,
                                                                  std::uint64_t loadedRevision) const {
    if (!UserDataDirectory::ensure(directory_))
        throw TunnelProviderError(Code::configurationReadWriteFailed,
                                  "cannot create the configuration folder " + directory_.string());
    std::lock_guard guard(fileMutex());
    PrivateFile::Lock lock(lockFile_);
    std::vector<Stored> all;
    try {
        all = readLocked();
    } catch (const TunnelProviderError&) {
        // Kept aside by readLocked: this save starts a new file.
    }
    Stored saved{std::move(profile), 1};
    if (saved.profile.identifier.empty()) {
        saved.profile.identifier = Uuid::make();
        all.push_back(saved);
    } else {
        auto it = std::find_if(all.begin(), all.end(),
                               [&](const Stored& s) { return s.profile.identifier == saved.profile.identifier; });
        if (it == all.end() || it->revision != loadedRevision)
            throw TunnelProviderError(Code::configurationStale,
                                      it == all.end() ? "the VPN profile was removed by another writer"
                                                      : "the VPN profile was saved by another writer since it was loaded");
        saved.revision = it->revision + 1;
        *it = saved;
    }
    writeLocked(all);
    return saved;
}

std::vector<TunnelProviderPreferences::Stored> TunnelProviderPreferences::readLocked() const {
    int error = 0;
    const auto bytes = PrivateFile::read(file_, error);
    if (!bytes) {
        if (error == ENOENT) return {};
        throw TunnelProviderError(Code::configurationReadWriteFailed,
                                  "cannot read " + file_.string() + ": " + std::strerror(error));
    }
    const ordered_json j = ordered_json::parse(*bytes, nullptr, false);
    std::vector<Stored> out;
    bool good = j.is_object() && j.contains("profiles") && j["profiles"].is_array();
    for (std::size_t i = 0; good && i < j["profiles"].size(); ++i) {
        auto s = decode(j["profiles"][i]);
        if (s) out.push_back(std::move(*s));
        good = s.has_value();
    }
    if (good) return out;
    const auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
    const std::filesystem::path aside = file_.string() + ".corrupt-" + std::to_string(seconds);
    std::error_code ec;
    std::filesystem::rename(file_, aside, ec);
    Log::line("[Kavri] !! VPN profiles: " + file_.string() + " is not a profiles file; kept as " + aside.string());
    throw TunnelProviderError(Code::configurationReadWriteFailed,
                              "the VPN profiles file was unreadable and was kept as " + aside.string());
}

void TunnelProviderPreferences::writeLocked(const std::vector<Stored>& profiles) const {
    ordered_json list = ordered_json::array();
    for (const Stored& s : profiles) list.push_back(encode(s));
    const ordered_json j = {{"profiles", list}};
    if (const int error = PrivateFile::writeAtomically(file_, j.dump(2) + "\n"); error != 0)
        throw TunnelProviderError(Code::configurationReadWriteFailed,
                                  "cannot write " + file_.string() + ": " + std::strerror(error));
}

}  // namespace kavri
