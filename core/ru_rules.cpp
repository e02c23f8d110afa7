#include "core/ru_rules.h"

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <set>

#include <nlohmann/json.hpp>

#include "core/control_plane.h"
#include "core/kavri_store.h"
#include "platform/runtime/json_depth.h"
#include "platform/userdata/private_file.h"
#include "platform/userdata/user_data_directory.h"

namespace kavri {
namespace fs = std::filesystem;
using json = nlohmann::json;

namespace {

std::mutex resourcesMutex;
std::optional<fs::path> injectedResources;

// A rule file counts as present when it exists and has at least one byte; a
// size that cannot be read counts as none.
bool isPresent(const fs::path& path) {
    std::error_code ec;
    if (!fs::exists(path, ec)) return false;
    const auto size = fs::file_size(path, ec);
    return !ec && size >= 1;
}

// The whole contents of a regular file, or none.
std::optional<std::string> readFile(const fs::path& path) {
    int error = 0;
    return PrivateFile::read(path, error);
}

bool writeAtomically(const fs::path& path, const std::string& bytes) {
    return PrivateFile::writeAtomically(path, bytes) == 0;
}

fs::path ruleFilePath(const std::string& fileName) { return RuRules::rulesDirectory() / fileName; }

bool isArrayOfObjects(const json* value) {
    if (!value || !value->is_array()) return false;
    for (const auto& element : *value)
        if (!element.is_object()) return false;
    return true;
}

const json* member(const json& object, const char* key) {
    auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
}

std::string tagOf(const json& entry) {
    const json* tag = member(entry, "tag");
    return tag && tag->is_string() ? tag->get<std::string>() : std::string();
}

// The "rules" list with every reference to a missing rule set removed; a rule
// that referred only to missing ones goes. Rules that do not name rule sets
// as a list of texts stay as they are.
json prunedRules(const json* old, const std::set<std::string>& missing) {
    json out = json::array();
    if (!isArrayOfObjects(old)) return out;
    for (const json& rule : *old) {
        const json* sets = member(rule, "rule_set");
        const bool listOfTexts = sets && sets->is_array() &&
                                 std::all_of(sets->begin(), sets->end(), [](const auto& s) { return s.is_string(); });
        if (!listOfTexts) {
            out.push_back(rule);
            continue;
        }
        json kept = json::array();
        for (const auto& name : *sets)
            if (!missing.contains(name.get<std::string>())) kept.push_back(name);
        if (kept.empty()) continue;
        json shortened = rule;
        shortened["rule_set"] = std::move(kept);
        out.push_back(std::move(shortened));
    }
    return out;
}

}  // namespace

const std::map<std::string, std::string>& RuRules::ruleFiles() {
    static const std::map<std::string, std::string> files{
        {"geoip-ru", "geoip-ru.srs"},
        {"geosite-category-ru", "geosite-category-ru.srs"},
        {"ru-extra", "ru-extra.srs"},
    };
    return files;
}

fs::path RuRules::rulesDirectory() {
    std::error_code ec;
    fs::path base = fs::absolute(KavriStore::directory(), ec);
    if (ec) base = KavriStore::directory();
    fs::path dir = base / "rules";
    UserDataDirectory::ensure(dir);
    return dir;
}

fs::path RuRules::resourcesDirectory() {
    {
        std::lock_guard lock(resourcesMutex);
        if (injectedResources) return *injectedResources;
    }
    if (const char* env = std::getenv("KAVRI_RESOURCES_DIR"); env && *env) return env;
    std::error_code ec;
    const fs::path program = fs::read_symlink("/proc/self/exe", ec);
    return (ec ? fs::current_path(ec) : program.parent_path()) / "resources";
}

void RuRules::setResourcesDirectory(std::optional<fs::path> directory) {
    std::lock_guard lock(resourcesMutex);
    injectedResources = std::move(directory);
}

std::optional<fs::path> RuRules::resourceURL(const std::string& fileName) {
    const std::string name = fs::path(fileName).stem().string() + ".srs";
    const fs::path resources = resourcesDirectory();
    for (const fs::path& candidate : {resources / "rules" / name, resources / name}) {
        std::error_code ec;
        if (fs::is_regular_file(candidate, ec)) return candidate;
    }
    return std::nullopt;
}

bool RuRules::isRuleSetData(std::string_view bytes) { return bytes.size() >= 8 && bytes.starts_with("SRS"); }

void RuRules::ensureSeeded() {
    for (const auto& [tag, fileName] : ruleFiles()) {
        const fs::path target = ruleFilePath(fileName);
        if (isPresent(target)) continue;
        const auto resource = resourceURL(fileName);
        if (!resource) continue;
        std::error_code ec;
        fs::remove_all(target, ec);
        if (const auto bytes = readFile(*resource)) writeAtomically(target, *bytes);
    }
}

bool RuRules::hasAllFiles() {
    for (const auto& [tag, fileName] : ruleFiles())
        if (!isPresent(ruleFilePath(fileName))) return false;
    return true;
}

bool RuRules::refreshFromRemote(const std::optional<std::string>& deviceID, const HttpSession& session,
                                std::stop_token stop, Clock& clock) {
    ensureSeeded();
    bool changed = false;
    for (const auto& row : ruleFiles()) {
        // A plain reference, not a structured binding: lambdas capture it
        // with every compiler.
        const std::string& fileName = row.second;
        if (stop.stop_requested()) break;
        std::string body;
        try {
            body = ControlPlane::withFailover(
                kBudgetSeconds,
                [&](const std::string& base) {
                    if (stop.stop_requested()) throw HttpError(HttpError::Kind::Cancelled, "request cancelled");
                    HttpRequest request;
                    request.method = "GET";
                    request.url = base + "/rules/" + fileName;
                    request.timeout = kRequestTimeout;
                    request.maxBodyBytes = kMaxFileBytes;
                    request.setOptionalHeader("X-Device-Id", deviceID);
                    HttpResponse response;
                    try {
                        response = session.send(request, stop);
                    } catch (const HttpError& e) {
                        // A stop ends the walk: no further host is asked.
                        if (e.kind() == HttpError::Kind::Cancelled || stop.stop_requested()) throw;
                        if (e.kind() == HttpError::Kind::NotHttp) throw ControlPlane::RetryNextHost();
                        throw ControlPlane::RetryNextHost(std::current_exception());
                    }
                    if (response.status < 200 || response.status > 299) throw ControlPlane::RetryNextHost();
                    return std::move(response.body);
                },
                clock);
        } catch (const ControlPlane::Exhausted&) {
            continue;  // every host failed or the budget ran out: keep the file
        } catch (const HttpError& e) {
            if (e.kind() == HttpError::Kind::Cancelled || stop.stop_requested()) break;
            throw;
        }
        if (!isRuleSetData(body)) continue;
        const fs::path target = ruleFilePath(fileName);
        if (const auto current = readFile(target); current && *current == body) continue;
        if (writeAtomically(target, body)) changed = true;
    }
    return changed;
}

RuRules::Absolutized RuRules::absolutizeRulePaths(const std::string& config) {
    Absolutized unchanged{config, {}};
    json root = JsonDepth::within(config, RuRules::kMaxNesting) ? json::parse(config, nullptr, false) : json();
    if (!root.is_object()) {
        ensureSeeded();
        return unchanged;
    }
    bool changed = false;
    auto missing = absolutizeRulePaths(root, changed);
    if (!changed) return unchanged;
    try {
        // Written compact with the keys of every object sorted.
        return {root.dump(), std::move(missing)};
    } catch (const std::exception&) {
        return {config, std::move(missing)};
    }
}

std::vector<std::string> RuRules::absolutizeRulePaths(nlohmann::json& root, bool& changed) {
    ensureSeeded();
    changed = false;
    if (!root.is_object()) return {};
    auto routeIt = root.find("route");
    if (routeIt == root.end() || !routeIt->is_object()) return {};
    json& route = *routeIt;
    const json* ruleSetValue = member(route, "rule_set");
    if (!isArrayOfObjects(ruleSetValue) || ruleSetValue->empty()) return {};
    json ruleSets = *ruleSetValue;

    std::vector<std::string> missing;
    bool rewritten = false;
    for (json& entry : ruleSets) {
        const std::string tag = tagOf(entry);
        const auto row = ruleFiles().find(tag);
        if (row == ruleFiles().end()) continue;
        const fs::path file = ruleFilePath(row->second);
        if (!isPresent(file)) {
            missing.push_back(tag);
            continue;
        }
        entry["type"] = "local";
        entry["format"] = "binary";
        entry["path"] = file.string();
        entry.erase("url");
        entry.erase("download_detour");
        entry.erase("update_interval");
        rewritten = true;
    }
    if (missing.empty() && !rewritten) return {};

    if (!missing.empty()) {
        const std::set<std::string> gone(missing.begin(), missing.end());
        json kept = json::array();
        for (json& entry : ruleSets)
            if (!gone.contains(tagOf(entry))) kept.push_back(std::move(entry));
        ruleSets = std::move(kept);
        route["rules"] = prunedRules(member(route, "rules"), gone);
        auto dnsIt = root.find("dns");
        if (dnsIt != root.end() && dnsIt->is_object()) (*dnsIt)["rules"] = prunedRules(member(*dnsIt, "rules"), gone);
    }
    route["rule_set"] = std::move(ruleSets);
    changed = true;
    return missing;
}

}  // namespace kavri
