#include "platform/http/url.h"

#include <curl/curl.h>

#include <memory>
#include <string>

namespace kavri {

namespace {

struct Deleter {
    void operator()(CURLU* u) const { curl_url_cleanup(u); }
};

}  // namespace

bool Url::isValid(std::string_view text) {
    std::unique_ptr<CURLU, Deleter> url(curl_url());
    if (!url) return false;
    const std::string s(text);
    if (s.find('\0') != std::string::npos) return false;
    if (curl_url_set(url.get(), CURLUPART_URL, s.c_str(), 0) != CURLUE_OK) return false;
    char* host = nullptr;
    const bool hasHost = curl_url_get(url.get(), CURLUPART_HOST, &host, 0) == CURLUE_OK && host && *host;
    curl_free(host);
    return hasHost;
}

std::optional<std::string> Url::host(std::string_view text) {
    const std::size_t colon = text.find(':');
    if (colon == std::string_view::npos || text.substr(colon + 1, 2) != "//") return std::nullopt;
    std::unique_ptr<CURLU, Deleter> url(curl_url());
    const std::string s(text);
    if (!url || s.find('\0') != std::string::npos) return std::nullopt;
    if (curl_url_set(url.get(), CURLUPART_URL, s.c_str(), CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK) {
        return std::nullopt;
    }
    char* host = nullptr;
    std::optional<std::string> out;
    if (curl_url_get(url.get(), CURLUPART_HOST, &host, 0) == CURLUE_OK && host && *host) out = host;
    curl_free(host);
    return out;
}

std::optional<std::string> Url::resolve(std::string_view base, std::string_view reference) {
    std::unique_ptr<CURLU, Deleter> url(curl_url());
    const std::string b(base), r(reference);
    if (!url || b.find('\0') != std::string::npos || r.find('\0') != std::string::npos) return std::nullopt;
    if (curl_url_set(url.get(), CURLUPART_URL, b.c_str(), CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK) return std::nullopt;
    // Set on a URL that holds one, a relative reference is resolved against it.
    if (curl_url_set(url.get(), CURLUPART_URL, r.c_str(), CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK) return std::nullopt;
    char* full = nullptr;
    std::optional<std::string> out;
    if (curl_url_get(url.get(), CURLUPART_URL, &full, 0) == CURLUE_OK && full) out = full;
    curl_free(full);
    return out;
}

}  // namespace kavri
