#include "api/app_update_info.h"

#include "api/app_update.h"
#include "core/url_components.h"
#include "platform/http/url.h"

namespace kavri {

std::optional<std::string> AppUpdateInfo::downloadURL() const {
    if (!url || url->empty()) return std::nullopt;
    if (const auto parts = UrlComponents::parse(*url); parts && parts->scheme) return *url;
    return Url::resolve(AppUpdate::manifestURL(), *url);
}

}  // namespace kavri
