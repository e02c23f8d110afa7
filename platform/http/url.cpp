#include "platform/http/url.h"

#include <curl/curl.h>

#include <memory>
#include <string>

namespace kavri {

bool Url::isValid(std::string_view text) {
    struct Deleter {
        void operator()(CURLU* u) const { curl_url_cleanup(u); }
    };
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

}  // namespace kavri
