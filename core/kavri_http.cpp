#include "core/kavri_http.h"

#include <chrono>

#include "core/deployment.h"

namespace kavri {
namespace {

std::chrono::milliseconds millis(double seconds) {
    return std::chrono::milliseconds(static_cast<std::int64_t>(seconds * 1000.0));
}

}  // namespace

HttpSession KavriHTTP::api() { return apiSession(15.0); }

HttpSession KavriHTTP::apiSession(double timeoutSeconds) { return apiSession(timeoutSeconds, timeoutSeconds + 5.0); }

HttpSession KavriHTTP::apiSession(double requestSeconds, double resourceSeconds) {
    HttpSessionConfig config;
    config.requestTimeout = millis(requestSeconds);
    config.resourceTimeout = millis(resourceSeconds);
    config.caBundle = Deployment::current().caBundle;
    return HttpSession(std::move(config));
}

}  // namespace kavri
