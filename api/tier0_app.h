#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace kavri {

// One app on the tier-0 list: named by its bundle identifier, optionally with
// its code-signing designated requirement. The server sends such lists in the
// subscription metadata; the settings keep the apps the user added.
struct Tier0App {
    std::string name;                                  // "name"
    std::string bundleID;                              // "bundle_id"
    std::optional<std::string> designatedRequirement;  // "designated_requirement"

    // Lists tell records apart by their bundle identifier.
    const std::string& id() const { return bundleID; }

    bool operator==(const Tier0App&) const = default;

    // Throws DecodingError (naming `path`) when "name" or "bundle_id" is
    // missing or not text, or the requirement is neither text nor null.
    static Tier0App fromJson(const nlohmann::json& value, const std::string& path = "");
    // "name", "bundle_id", then "designated_requirement" only when present.
    nlohmann::ordered_json toJson() const;
};

}  // namespace kavri

template <>
struct std::hash<kavri::Tier0App> {
    // The name, the bundle identifier, then a presence mark for the
    // requirement (and its text when present), so equal records hash equally.
    std::size_t operator()(const kavri::Tier0App& app) const noexcept;
};
