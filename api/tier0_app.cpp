#include "api/tier0_app.h"

#include "api/json_fields.h"

namespace kavri {

Tier0App Tier0App::fromJson(const nlohmann::json& value, const std::string& path) {
    const JsonFields fields(value, path);
    Tier0App app;
    app.name = fields.requiredString("name");
    app.bundleID = fields.requiredString("bundle_id");
    app.designatedRequirement = fields.optionalString("designated_requirement");
    return app;
}

nlohmann::ordered_json Tier0App::toJson() const {
    nlohmann::ordered_json out;
    out["name"] = name;
    out["bundle_id"] = bundleID;
    if (designatedRequirement) out["designated_requirement"] = *designatedRequirement;
    return out;
}

}  // namespace kavri

std::size_t std::hash<kavri::Tier0App>::operator()(const kavri::Tier0App& app) const noexcept {
    std::size_t seed = 0;
    const auto combine = [&seed](std::size_t h) { seed ^= h + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2); };
    combine(std::hash<std::string>{}(app.name));
    combine(std::hash<std::string>{}(app.bundleID));
    combine(app.designatedRequirement ? 1 : 0);
    if (app.designatedRequirement) combine(std::hash<std::string>{}(*app.designatedRequirement));
    return seed;
}
