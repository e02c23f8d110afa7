#pragma once

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/http/http_session.h"
#include "platform/runtime/clock.h"

namespace kavri {

// The three routing rule sets for domestic destinations. Their files live in
// the folder "rules" of the shared directory; this type seeds them from the
// program's resources, refreshes them from the control plane, tells whether
// all are present and points a configuration's rule-set entries at them.
// Every failure is silent: a file that cannot be seeded, read or replaced is
// simply left as it was.
class RuRules {
public:
    // Rule-set tag -> file name, the same in the rules folder, the resources
    // and on the server.
    static const std::map<std::string, std::string>& ruleFiles();

    // The shared directory's "rules" folder (absolute), created when missing.
    static std::filesystem::path rulesDirectory();

    // The program's resources folder: the one set with setResourcesDirectory,
    // else $KAVRI_RESOURCES_DIR, else "resources" next to the running program.
    static std::filesystem::path resourcesDirectory();
    // Replaces the resources folder (std::nullopt restores the default).
    static void setResourcesDirectory(std::optional<std::filesystem::path> directory);
    // The resource copy of a rule file: "<stem>.srs" in the resources'
    // "rules" folder, else at their top level; none when neither exists.
    static std::optional<std::filesystem::path> resourceURL(const std::string& fileName);

    // At least 8 bytes beginning with "SRS".
    static bool isRuleSetData(std::string_view bytes);

    // Copies the resource copy of every rule file that is missing or empty.
    // A file already present is never replaced.
    static void ensureSeeded();
    // True when every rule file exists with at least 1 byte.
    static bool hasAllFiles();

    // Downloads each rule file ("rules/<file>") through the control-plane
    // failover, 60 s per file, and replaces the local copy atomically when
    // the download is a rule set and differs. True when a file was replaced.
    static bool refreshFromRemote(const std::optional<std::string>& deviceID, const HttpSession& session,
                                  std::stop_token stop = {}, Clock& clock = Clock::system());

    struct Absolutized {
        std::string config;
        std::vector<std::string> missing;  // tags whose file is missing, as met
    };
    // Points the configuration's known rule-set entries at the local files,
    // removing the entries whose file is missing together with the route and
    // DNS rules that would only refer to them. Text that cannot be read, or
    // that nests deeper than any configuration, comes back unchanged.
    static Absolutized absolutizeRulePaths(const std::string& config);
    // The same on a parsed configuration, in place; `changed` tells whether
    // anything was rewritten.
    static std::vector<std::string> absolutizeRulePaths(nlohmann::json& root, bool& changed);

    // Deepest nesting of arrays and objects a configuration text may have:
    // copying and printing a value recurse once per level, so deeper text is
    // left as it is.
    static constexpr std::size_t kMaxNesting = 512;

    // Per-request limit of a download.
    static constexpr std::chrono::seconds kRequestTimeout{12};
    // A longer reply is no rule set (the largest is a few megabytes): the
    // download fails before it is read whole.
    static constexpr std::size_t kMaxFileBytes = 64 * 1024 * 1024;
    // Failover budget per file.
    static constexpr double kBudgetSeconds = 60;
};

}  // namespace kavri
