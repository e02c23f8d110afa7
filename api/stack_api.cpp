#include "api/stack_api.h"

#include "api/decoding_error.h"
#include "api/json_fields.h"
#include "api/device_id.h"
#include "api/host_attempt.h"
#include "api/lenient_fields.h"
#include "core/control_plane.h"
#include "core/kavri_http.h"
#include "core/kavri_constants.h"
#include "core/kavri_defaults_key.h"
#include "platform/runtime/uuid.h"

namespace kavri {
namespace {

// A status that moves the walk on to the next host.
[[noreturn]] void nextHost(int code) {
    HostAttempt::retry(std::make_exception_ptr(HostAttempt::StatusError("StackAPI", code)));
}

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

// --- calls ---

namespace {

// The host name of a base address, without scheme, port or path
// ("https://cp.example:8443/" gives "cp.example", "http://[::1]:80" "::1").
std::string hostOf(const std::string& base) {
    const auto scheme = base.find("://");
    std::string_view rest(base);
    if (scheme != std::string::npos) rest.remove_prefix(scheme + 3);
    rest = rest.substr(0, rest.find_first_of("/?#"));
    if (const auto at = rest.rfind('@'); at != std::string_view::npos) rest.remove_prefix(at + 1);
    if (rest.starts_with('[')) {
        const auto close = rest.find(']');
        return std::string(close == std::string_view::npos ? rest.substr(1) : rest.substr(1, close - 1));
    }
    return std::string(rest.substr(0, rest.find(':')));
}

}  // namespace

HttpSession StackAPI::session() { return KavriHTTP::apiSession(6); }

StackAPI::StackAPI(HttpSession session, KavriStore& store, Clock& clock)
    : session_(std::move(session)), store_(store), clock_(clock) {}

HttpRequest StackAPI::makeRequest(const std::string& base, const std::string& path, const std::string& method,
                                  const std::optional<nlohmann::json>& body) const {
    HttpRequest request;
    request.method = method;
    request.url = (base.ends_with('/') ? base.substr(0, base.size() - 1) : base) + "/" + path;
    request.timeout = std::chrono::milliseconds(static_cast<std::int64_t>(attemptSeconds * 1000));
    request.headers = {{"X-Kavri-Caps", KavriConstants::clientCaps},
                       {"X-Kavri-Build", KavriConstants::clientBuild()},
                       {"X-Device-Id", DeviceID::current(store_)}};
    if (body) {
        request.headers.push_back({"Content-Type", "application/json"});
        try {
            request.body = body->dump();
        } catch (const nlohmann::json::exception&) {
            // Text that is not UTF-8 cannot be sent: the request goes without a body.
        }
    }
    return request;
}

StackAPI::CatalogFetch StackAPI::fetchCatalog(const std::string& token, double budgetSeconds,
                                              std::stop_token stop) const {
    const auto start = clock_.monoNow();
    CatalogFetch fetch;
    try {
        fetch.catalog = ControlPlane::withFailover(
            budgetSeconds,
            [&](const std::string& base) -> std::optional<Catalog> {
                fetch.host = hostOf(base);
                fetch.code.reset();
                auto request = makeRequest(base, "stack/" + percentEncodePathSegment(token), "GET");
                request.maxBodyBytes = maxCatalogBytes;
                const auto response = HostAttempt::send(session_, request, stop);
                const int code = response.status;
                fetch.code = code;
                if (code >= 200 && code <= 299) {
                    std::optional<Catalog> catalog;
                    try {
                        catalog = Catalog::decode(response.body);
                    } catch (const std::exception&) {
                        return std::nullopt;
                    }
                    store_.set(KavriDefaultsKey::stackCatalogCache, PlistValue(Data{response.body}));
                    store_.set(KavriDefaultsKey::stackCatalogCacheAt, PlistValue(clock_.wallNow()));
                    return catalog;
                }
                if (code == 401 || code == 402 || code == 403) return std::nullopt;
                nextHost(code);
            },
            clock_, store_);
    } catch (const std::exception&) {
        fetch.catalog.reset();
    }
    fetch.ms = std::chrono::duration_cast<std::chrono::milliseconds>(clock_.monoNow() - start).count();
    return fetch;
}

std::optional<StackAPI::Catalog> StackAPI::cachedCatalog() const {
    const auto snapshot = store_.snapshot();
    const auto found = snapshot.find(KavriDefaultsKey::stackCatalogCache);
    if (found == snapshot.end()) return std::nullopt;
    const auto* bytes = found->second.get<Data>();
    if (!bytes) return std::nullopt;
    try {
        return Catalog::decode(bytes->bytes);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::optional<std::chrono::system_clock::time_point> StackAPI::cachedCatalogAt() const {
    const auto value = store_.object(KavriDefaultsKey::stackCatalogCacheAt);
    if (!value) return std::nullopt;
    if (const auto* date = value->get<Date>()) return *date;
    return std::nullopt;
}

StackAPI::SelectOutcome StackAPI::select(const std::string& token, const std::optional<std::string>& location,
                                         const std::optional<std::string>& proto, std::stop_token stop) const {
    const std::string key = Uuid::make();
    const nlohmann::json body = {{"location", location ? nlohmann::json(*location) : nlohmann::json(nullptr)},
                                 {"protocol", proto ? nlohmann::json(*proto) : nlohmann::json(nullptr)}};
    try {
        return ControlPlane::withFailover(
            selectBudgetSeconds,
            [&](const std::string& base) {
                auto request = makeRequest(base, "stack/" + percentEncodePathSegment(token) + "/select", "POST", body);
                request.headers.push_back({"Idempotency-Key", key});
                request.maxBodyBytes = maxSelectBytes;
                const auto response = HostAttempt::send(session_, request, stop);
                const int code = response.status;
                if (code == 200 || code == 401 || code == 402 || code == 403 || code == 409) {
                    SelectOutcome outcome{code, std::nullopt};
                    try {
                        outcome.stack = SelectResponse::decode(response.body).stack;
                    } catch (const std::exception&) {
                    }
                    return outcome;
                }
                nextHost(code);
            },
            clock_, store_);
    } catch (const std::exception&) {
        return SelectOutcome{};
    }
}

}  // namespace kavri
