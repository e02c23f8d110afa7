#include "core/config_fetcher.h"

#include <cmath>
#include <limits>

#include "core/control_plane.h"
#include "core/kavri_constants.h"
#include "core/kavri_crypto.h"
#include "core/kavri_defaults_key.h"
#include "core/sorted_json.h"
#include "core/utf8.h"
#include "platform/runtime/decimal.h"

namespace kavri {
namespace {

// Deeper nesting than any configuration has; it bounds the recursion of
// re-serialising a hostile reply.
constexpr int maxNesting = 256;

const nlohmann::json* member(const nlohmann::json& object, const char* key) {
    const auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
}

// A number's value cut toward zero; nothing outside the 64-bit range.
std::optional<std::int64_t> truncated(const nlohmann::json& v) {
    if (v.is_number_integer()) return v.get<std::int64_t>();
    if (v.is_number_unsigned()) {
        const auto u = v.get<std::uint64_t>();
        if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return std::nullopt;
        return static_cast<std::int64_t>(u);
    }
    if (v.is_number_float()) {
        const double d = std::trunc(v.get<double>());
        if (!(d >= -9223372036854775808.0 && d < 9223372036854775808.0)) return std::nullopt;
        return static_cast<std::int64_t>(d);
    }
    return std::nullopt;
}

// A number with an integral value.
std::optional<std::int64_t> integral(const nlohmann::json* v) {
    if (!v) return std::nullopt;
    if (v->is_number_float() && std::trunc(v->get<double>()) != v->get<double>()) return std::nullopt;
    return truncated(*v);
}

std::string trimmed(const std::string& s) { return std::string(Utf8::trimmedWhitespace(s)); }

std::vector<std::string> detectRefsOf(const nlohmann::json* v) {
    std::vector<std::string> refs;
    if (!v) return refs;
    if (v->is_string()) {
        if (auto t = trimmed(v->get<std::string>()); !t.empty()) refs.push_back(std::move(t));
    } else if (v->is_array()) {
        for (const auto& item : *v)
            if (!item.is_string()) return {};
        for (const auto& item : *v)
            if (auto t = trimmed(item.get<std::string>()); !t.empty()) refs.push_back(std::move(t));
    }
    return refs;
}

std::optional<std::vector<std::string>> textList(const nlohmann::json* v) {
    if (!v || !v->is_array()) return std::nullopt;
    std::vector<std::string> out;
    for (const auto& item : *v) {
        if (!item.is_string()) return std::nullopt;
        out.push_back(item.get<std::string>());
    }
    return out;
}

// Compact JSON with sorted keys and "/" written as "\/"; a "/" can only occur
// inside a string, so replacing every one is exact. SortedJson writes the
// same bytes straight from a text.
std::string serialise(const nlohmann::json& object) {
    const std::string compact = object.dump();
    std::string out;
    out.reserve(compact.size() + compact.size() / 32);
    for (char c : compact) {
        if (c == '/') out.push_back('\\');
        out.push_back(c);
    }
    return out;
}

struct TooDeep {};

}  // namespace

ConfigFetcher::Reply ConfigFetcher::readReply(const std::string& body) {
    // One pass over the text where it can be taken so; the same bytes as below.
    if (auto split = SortedJson::withoutMember(body, "_kavri_meta")) {
        static const nlohmann::json noMeta = nlohmann::json::object();
        Reply r = readMeta(split->member ? *split->member : noMeta);
        r.fetched.config = std::move(split->rest);
        return r;
    }
    nlohmann::json root;
    try {
        root = nlohmann::json::parse(body, [](int depth, nlohmann::json::parse_event_t, nlohmann::json&) {
            if (depth > maxNesting) throw TooDeep{};
            return true;
        });
    } catch (const nlohmann::json::exception&) {
        throw FetchError::malformed();
    } catch (const TooDeep&) {
        throw FetchError::malformed();
    }
    return readReply(std::move(root));
}

ConfigFetcher::Reply ConfigFetcher::readReply(nlohmann::json root) {
    if (!root.is_object()) throw FetchError::malformed();
    static const nlohmann::json noMeta = nlohmann::json::object();
    const nlohmann::json* metaValue = member(root, "_kavri_meta");
    Reply r = readMeta(metaValue ? *metaValue : noMeta);
    root.erase("_kavri_meta");
    try {
        r.fetched.config = serialise(root);
    } catch (const nlohmann::json::exception&) {
        throw FetchError::malformed();
    }
    return r;
}

ConfigFetcher::Reply ConfigFetcher::readMeta(const nlohmann::json& metaValue) {
    Reply r;
    auto& f = r.fetched;
    static const nlohmann::json noMeta = nlohmann::json::object();
    const nlohmann::json& meta = metaValue.is_object() ? metaValue : noMeta;

    if (const auto* s = member(meta, "state"); s && s->is_string())
        f.state = SubscriptionState::fromRawValue(s->get_ref<const std::string&>());
    f.priceMonth = integral(member(meta, "price_month"));
    if (const auto* c = member(meta, "currency"); c && c->is_string()) f.currency = c->get<std::string>();
    f.pullIntervalSeconds = integral(member(meta, "pull_interval_seconds"));
    if (const auto* d = member(meta, "device_removed"); d && d->is_boolean()) r.deviceRemoved = d->get<bool>();
    r.fallbacks = textList(member(meta, "control_plane_fallbacks"));
    if (const auto* e = member(meta, "expires_at_unix")) f.expiresAtUnix = truncated(*e);
    if (const auto* t = member(meta, "trial_notice"); t && t->is_object()) f.trialNotice = *t;
    f.detectRefs = detectRefsOf(member(meta, "detect_ref"));
    if (const auto* d = member(meta, "detect")) f.detectRaw = *d;
    if (const auto* s = member(meta, "stall_watch")) f.stallWatchRaw = *s;
    if (const auto* e = member(meta, "config_epoch"))
        f.configEpoch = e->is_string() ? Decimal::int64(e->get<std::string>()) : truncated(*e);
    return r;
}

KavriStore::Changes ConfigFetcher::storeChanges(const Reply& reply) {
    KavriStore::Changes changes{{KavriDefaultsKey::deviceRemoved, reply.deviceRemoved}};
    if (reply.fallbacks)
        if (auto json = ControlPlane::fallbacksJSON(*reply.fallbacks))
            changes.emplace_back(KavriDefaultsKey::cpFallbacksJSON, Data{std::move(*json)});
    return changes;
}

ConfigFetcher::FetchError ConfigFetcher::FetchError::http(int status) {
    return FetchError(Kind::Http, status, "HTTP " + std::to_string(status));
}

ConfigFetcher::FetchError ConfigFetcher::FetchError::malformed() {
    return FetchError(Kind::Malformed, 0, "malformed reply");
}

ConfigFetcher::Limits ConfigFetcher::standardLimits() { return Limits{}; }

std::string ConfigFetcher::subscriptionPath(const std::string& token) { return "sub/" + percentEncodePathSegment(token); }

ConfigFetcher::Fetched ConfigFetcher::fetch(const std::string& token, const std::optional<std::string>& deviceID,
                                            bool shed, bool homeback, bool toggle, const HttpSession& session,
                                            std::stop_token stop, const Limits& limits, Clock& clock,
                                            KavriStore& store) {
    auto attempt = [&](const std::string& baseURL) -> Fetched {
        if (stop.stop_requested()) throw HttpError(HttpError::Kind::Cancelled, "request cancelled");
        const KavriCrypto::Session sealing;  // new for every attempt

        HttpRequest request;
        request.method = "GET";
        request.url = baseURL + "/" + subscriptionPath(token) + (toggle ? "?toggle=1" : "");
        request.timeout = limits.attemptTimeout;
        request.maxBodyBytes = maxReplyBytes;
        request.headers.emplace_back("User-Agent", userAgent);
        request.headers.emplace_back("X-Kavri-Caps", KavriConstants::clientCaps);
        request.headers.emplace_back("X-Kavri-Build", KavriConstants::clientBuild());
        if (shed) request.headers.emplace_back("X-Kavri-Shed", "1");
        if (homeback) request.headers.emplace_back("X-Kavri-Homeback", "1");
        request.setOptionalHeader("X-Device-Id", deviceID);
        request.headers.emplace_back("X-Kavri-EphPub", sealing.ephPubBase64());
        request.headers.emplace_back("X-Kavri-Nonce", sealing.nonceBase64());

        HttpResponse response;
        try {
            response = session.send(request, stop);
        } catch (const HttpError& e) {
            if (e.kind() == HttpError::Kind::Cancelled || stop.stop_requested()) throw;
            if (e.kind() == HttpError::Kind::NotHttp) throw ControlPlane::RetryNextHost();
            throw ControlPlane::RetryNextHost(std::current_exception());
        }

        const int status = response.status;
        if (status == 401 || status == 402 || status == 403) throw FetchError::http(status);
        if (status != 200) throw ControlPlane::RetryNextHost(std::make_exception_ptr(FetchError::http(status)));

        std::string body = std::move(response.body);
        if (response.header("X-Kavri-Enc") == std::optional<std::string>("1")) {
            auto opened = KavriCrypto::open(body, sealing);
            if (!opened) throw ControlPlane::RetryNextHost(std::make_exception_ptr(FetchError::malformed()));
            body = std::move(*opened);
        }

        Reply reply;
        try {
            reply = readReply(body);
        } catch (const FetchError& e) {
            throw ControlPlane::RetryNextHost(std::make_exception_ptr(e));
        }

        // Accepted: record what belongs to the shared core.
        // The detection settings are the caller's to store.
        store.setAll(storeChanges(reply));
        return std::move(reply.fetched);
    };
    return ControlPlane::withFailover(limits.budgetSeconds, attempt, clock, store);
}

}  // namespace kavri
