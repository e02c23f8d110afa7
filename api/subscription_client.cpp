#include "api/subscription_client.h"

#include <chrono>
#include <cmath>

#include <curl/curl.h>

#include "api/decoding_error.h"
#include "api/device_id.h"
#include "api/json_fields.h"
#include "core/config_fetcher.h"
#include "core/control_plane.h"
#include "core/detect_config.h"
#include "core/kavri_defaults_key.h"
#include "core/kavri_constants.h"
#include "core/kavri_crypto.h"
#include "core/sorted_json.h"
#include "core/url_components.h"
#include "core/utf8.h"
#include "platform/http/http_error_text.h"

namespace kavri {
namespace {

using FetchError = SubscriptionClient::FetchError;

[[noreturn]] void retryWith(const FetchError& error) {
    throw ControlPlane::RetryNextHost(std::make_exception_ptr(error));
}

std::chrono::milliseconds millis(double seconds) {
    return std::chrono::milliseconds(static_cast<std::int64_t>(std::llround(seconds * 1000.0)));
}

bool isTokenCharacter(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == '-' || c == '_';
}

}  // namespace

// --- FetchError ---

SubscriptionClient::FetchError::FetchError(Kind kind, int status, std::string detail, std::exception_ptr underlying)
    : kind_(kind), status_(status), detail_(std::move(detail)), underlying_(std::move(underlying)) {
    description_ = errorDescription();
}

FetchError SubscriptionClient::FetchError::server(int status) { return FetchError(Kind::server, status); }
FetchError SubscriptionClient::FetchError::network(std::exception_ptr underlying, std::string description) {
    return FetchError(Kind::network, 0, std::move(description), std::move(underlying));
}
FetchError SubscriptionClient::FetchError::network(const HttpError& error) {
    return network(std::make_exception_ptr(error), HttpErrorText::localized(error));
}
FetchError SubscriptionClient::FetchError::malformed(std::string reason) {
    return FetchError(Kind::malformed, 0, std::move(reason));
}
FetchError SubscriptionClient::FetchError::invalidURL() { return FetchError(Kind::invalidURL); }
FetchError SubscriptionClient::FetchError::unauthorized() { return FetchError(Kind::unauthorized); }
FetchError SubscriptionClient::FetchError::expired() { return FetchError(Kind::expired); }
FetchError SubscriptionClient::FetchError::suspended() { return FetchError(Kind::suspended); }
FetchError SubscriptionClient::FetchError::noEndpoints() { return FetchError(Kind::noEndpoints); }

std::string SubscriptionClient::FetchError::errorDescription() const {
    switch (kind_) {
        case Kind::server: return "Ошибка сервера: " + std::to_string(status_);
        case Kind::network: return "Сетевая ошибка: " + detail_;
        case Kind::malformed: return "Невалидный ответ: " + detail_;
        case Kind::invalidURL: return "Невалидный URL подписки";
        case Kind::unauthorized: return "Ключ доступа недействителен";
        case Kind::expired: return "Подписка истекла";
        case Kind::suspended: return "Подписка приостановлена";
        case Kind::noEndpoints: return "Сервис временно недоступен, попробуйте позже";
    }
    return {};
}

// --- SubscriptionClient ---

SubscriptionClient::SubscriptionClient(HttpSession session, KavriStore& store, Clock& clock)
    : session_(std::move(session)), store_(store), clock_(clock) {}

std::string SubscriptionClient::userAgent() {
    const auto& info = KavriConstants::bundleInfo();
    const auto it = info.find("CFBundleShortVersionString");
    const std::string version = it != info.end() && it->second.is<std::string>() ? *it->second.get<std::string>() : "0";
    return "KavriApp/" + version + " iOS";
}

std::string SubscriptionClient::token(std::string_view pasted) {
    const std::string_view text = Utf8::trimmedWhitespace(pasted);
    const auto url = UrlComponents::parse(text);
    if (url && url->scheme == KavriConstants::urlScheme) {
        for (const auto& item : url->queryItems()) {
            if (item.name != "token") continue;
            // An empty value is no token: it goes on to the checks below.
            if (item.value && !item.value->empty()) return *item.value;
            break;
        }
    }
    if (text.starts_with("http://") || text.starts_with("https://")) {
        if (!url) throw FetchError::invalidURL();
        std::string last = url->lastPathComponent();
        if (last.empty() || last == "sub" || last == "/") throw FetchError::invalidURL();
        return last;
    }
    if (text.size() < 16) throw FetchError::invalidURL();
    for (char c : text)
        if (!isTokenCharacter(c)) throw FetchError::invalidURL();
    return std::string(text);
}

SubscriptionClient::FetchResult SubscriptionClient::fetch(std::string_view token, double timeoutSeconds,
                                                          std::stop_token stop) const {
    const std::string bare = SubscriptionClient::token(token);
    try {
        return ControlPlane::withFailover(
            budgetSeconds, [&](const std::string& base) { return fetch(base, bare, timeoutSeconds, stop); }, clock_,
            store_);
    } catch (const ControlPlane::Exhausted& exhausted) {
        if (!exhausted.lastError)
            throw FetchError::network(
                HttpError(HttpError::Kind::Transport, "no host could be tried", CURLE_COULDNT_CONNECT));
        try {
            std::rethrow_exception(exhausted.lastError);
        } catch (const FetchError&) {
            throw;
        } catch (const HttpError& error) {
            throw FetchError::network(error);
        } catch (const std::exception& error) {
            throw FetchError::network(std::current_exception(), error.what());
        }
    }
}

SubscriptionClient::FetchResult SubscriptionClient::fetch(const std::string& base, const std::string& token,
                                                          double timeoutSeconds, std::stop_token stop) const {
    if (stop.stop_requested()) throw HttpError(HttpError::Kind::Cancelled, "request cancelled");
    const KavriCrypto::Session sealing;  // new for every attempt

    HttpRequest request;
    request.method = "GET";
    const std::string baseURL = base.ends_with('/') ? base.substr(0, base.size() - 1) : base;
    // The token is one encoded path segment: no text can reach another path
    // or add a query.
    request.url = baseURL + "/" + ConfigFetcher::subscriptionPath(token);
    request.timeout = millis(timeoutSeconds);
    request.maxBodyBytes = maxReplyBytes;
    request.headers = {
        {"Accept", "application/json"},
        {"User-Agent", userAgent()},
        {"X-Device-Id", DeviceID::current(store_)},
        {"X-Kavri-Caps", KavriConstants::clientCaps},
        {"X-Kavri-Build", KavriConstants::clientBuild()},
        {"X-Kavri-EphPub", sealing.ephPubBase64()},
        {"X-Kavri-Nonce", sealing.nonceBase64()},
    };

    HttpResponse response;
    try {
        response = session_.send(request, stop);
    } catch (const HttpError& error) {
        if (error.kind() == HttpError::Kind::Cancelled || stop.stop_requested()) throw;
        if (error.kind() == HttpError::Kind::NotHttp) retryWith(FetchError::malformed("non-HTTP response"));
        retryWith(FetchError::network(error));
    }

    switch (response.status) {
        case 200: break;
        case 401: throw FetchError::unauthorized();
        case 402: throw FetchError::expired();
        case 403: throw FetchError::suspended();
        case 503: retryWith(FetchError::noEndpoints());
        default: retryWith(FetchError::server(response.status));
    }

    std::string body = std::move(response.body);
    if (response.header("X-Kavri-Enc") == std::optional<std::string>("1")) {
        auto opened = KavriCrypto::open(body, sealing);
        if (!opened) retryWith(FetchError::malformed("decrypt failed"));
        body = std::move(*opened);
    }

    // The metadata and the configuration without it: in one pass over the
    // text where the writer takes it, else through the JSON library's tree
    // (the same bytes, and the errors of a text that is not a fit reply).
    auto split = SortedJson::withoutMember(body, "_kavri_meta");
    if (split && !split->member) split.reset();  // the library's path names what is missing
    nlohmann::json root;
    SubscriptionMeta meta;
    try {
        if (split)
            root["_kavri_meta"] = std::move(*split->member);
        else
            root = JsonFields::parse(body);
        const JsonFields reply(root, "");
        meta = SubscriptionMeta::fromJson(reply.required("_kavri_meta"), reply.pathOf("_kavri_meta"));
    } catch (const DecodingError& error) {
        retryWith(FetchError::malformed(std::string("missing _kavri_meta: ") + error.what()));
    }

    // The metadata decoded, so the body is a JSON object with an object
    // "_kavri_meta"; only a failure to serialise it again is left, and then
    // the body goes out as it came.
    std::optional<ConfigFetcher::Reply> parts;
    try {
        if (split) {
            parts = ConfigFetcher::readMeta(root["_kavri_meta"]);
            parts->fetched.config = std::move(split->rest);
        } else {
            parts = ConfigFetcher::readReply(std::move(root));
        }
    } catch (const ConfigFetcher::FetchError&) {
    }
    FetchResult result{parts ? std::move(parts->fetched.config) : std::move(body), std::move(meta), std::nullopt};
    if (parts) {
        auto changes = ConfigFetcher::storeChanges(*parts);
        if (auto detect = DetectConfig::storedForm(parts->fetched.detectRaw))
            changes.emplace_back(KavriDefaultsKey::detectConfigJSON, Data{std::move(*detect)});
        store_.setAll(changes);
    }
    if (auto header = response.header("Subscription-Userinfo")) result.userinfo = SubscriptionUserinfo::parse(*header);
    return result;
}

}  // namespace kavri
