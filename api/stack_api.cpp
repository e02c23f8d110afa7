#include "api/stack_api.h"

#include "api/decoding_error.h"
#include "api/json_fields.h"
#include "api/lenient_fields.h"

namespace kavri {
namespace {

std::string indexed(const std::string& path, std::size_t i) { return path + "[" + std::to_string(i) + "]"; }

// A list whose entries decode strictly: one failing entry fails the list.
template <class T>
std::vector<T> strictList(const nlohmann::json& value, const std::string& path) {
    if (!value.is_array()) throw DecodingError(DecodingError::Kind::typeMismatch, path, "a list");
    std::vector<T> out;
    out.reserve(value.size());
    for (std::size_t i = 0; i < value.size(); ++i) out.push_back(T::fromJson(value[i], indexed(path, i)));
    return out;
}

// The whole text as one JSON object, or DecodingError.
nlohmann::json objectOf(std::string_view text) {
    auto value = JsonFields::parse(text);
    if (!value.is_object()) throw DecodingError(DecodingError::Kind::typeMismatch, "", "an object");
    return value;
}

}  // namespace

StackAPI::Snapshot::Axis StackAPI::Snapshot::Axis::fromJson(const nlohmann::json& value, const std::string& path) {
    if (!value.is_object()) throw DecodingError(DecodingError::Kind::typeMismatch, path, "an object");
    const LenientFields fields(value);
    Axis axis;
    axis.id = fields.string("id");
    if (auto mode = fields.string("mode")) axis.mode = *mode;
    if (auto label = fields.string("label")) axis.label = *label;
    axis.countryCode = fields.string("country_code");
    axis.key = fields.string("key");
    if (auto online = fields.boolean("online")) axis.online = *online;
    return axis;
}

StackAPI::Snapshot::Effective StackAPI::Snapshot::Effective::fromJson(const nlohmann::json& value,
                                                                      const std::string& path) {
    const JsonFields fields(value, path);
    return Effective{fields.requiredString("location_label"), fields.requiredString("country_code"),
                     fields.requiredString("protocol_label")};
}

StackAPI::Snapshot StackAPI::Snapshot::fromJson(const nlohmann::json& value, const std::string& path) {
    const JsonFields fields(value, path);
    Snapshot snapshot;
    snapshot.manualAllowed = fields.requiredBool("manual_allowed");
    snapshot.lockedReason = fields.optionalString("locked_reason");
    snapshot.location = Axis::fromJson(fields.required("location"), fields.pathOf("location"));
    snapshot.proto = Axis::fromJson(fields.required("protocol"), fields.pathOf("protocol"));
    if (const auto* effective = fields.optional("effective"))
        snapshot.effective = Effective::fromJson(*effective, fields.pathOf("effective"));
    return snapshot;
}

StackAPI::Snapshot StackAPI::Snapshot::decode(std::string_view text) { return fromJson(JsonFields::parse(text)); }

StackAPI::Catalog::Location StackAPI::Catalog::Location::fromJson(const nlohmann::json& value,
                                                                  const std::string& path) {
    const JsonFields fields(value, path);
    Location location;
    location.id = fields.requiredString("id");
    location.title = fields.requiredString("title");
    location.countryCode = fields.requiredString("country_code");
    location.online = fields.optionalBool("online");
    const auto& protocols = fields.required("protocols");
    const std::string protocolsPath = fields.pathOf("protocols");
    if (!protocols.is_array()) throw DecodingError(DecodingError::Kind::typeMismatch, protocolsPath, "a list");
    for (std::size_t i = 0; i < protocols.size(); ++i)
        location.protocols.push_back(JsonFields::stringValue(protocols[i], indexed(protocolsPath, i)));
    location.probeHost = fields.optionalString("probe_host");
    location.probePort = fields.optionalInt64("probe_port");
    location.rttMs = fields.optionalInt64("rtt_ms");
    location.rttAgeSec = fields.optionalInt64("rtt_age_sec");
    return location;
}

StackAPI::Catalog::Proto StackAPI::Catalog::Proto::fromJson(const nlohmann::json& value, const std::string& path) {
    const JsonFields fields(value, path);
    return Proto{fields.requiredString("key"), fields.requiredString("title"), fields.optionalString("subtitle"),
                 fields.optionalString("badge")};
}

StackAPI::Catalog StackAPI::Catalog::fromJson(const nlohmann::json& value) {
    if (!value.is_object()) throw DecodingError(DecodingError::Kind::typeMismatch, "", "an object");
    const LenientFields fields(value);
    Catalog catalog;
    catalog.manualAllowed = fields.boolean("manual_allowed").value_or(false);
    catalog.lockedReason = fields.string("locked_reason");
    const auto autoChoice = fields.decoded("auto", [](const nlohmann::json& v, const std::string& path) {
        const JsonFields f(v, path);
        return Auto{f.requiredString("title"), f.optionalString("subtitle")};
    });
    if (autoChoice) catalog.autoChoice = *autoChoice;
    catalog.locations = fields.decoded("locations", strictList<Location>).value_or(std::vector<Location>{});
    catalog.protocols = fields.decoded("protocols", strictList<Proto>).value_or(std::vector<Proto>{});
    return catalog;
}

StackAPI::Catalog StackAPI::Catalog::decode(std::string_view text) { return fromJson(objectOf(text)); }

StackAPI::SelectResponse StackAPI::SelectResponse::decode(std::string_view text) {
    const auto value = objectOf(text);
    const JsonFields fields(value, "");
    SelectResponse response;
    response.error = fields.optionalString("error");
    if (const auto* stack = fields.optional("stack")) response.stack = Snapshot::fromJson(*stack, "stack");
    return response;
}

}  // namespace kavri
