#include "app/telemetry/app_telemetry.h"

#include <chrono>

#include "api/device_id.h"
#include "core/control_plane.h"
#include "core/kavri_constants.h"
#include "core/kavri_http.h"
#include "core/kavri_token.h"
#include "core/keychain.h"
#include "platform/runtime/log.h"
#include "platform/runtime/system_info.h"

namespace kavri {
namespace {

using std::chrono::duration_cast;
using std::chrono::milliseconds;
using std::chrono::seconds;

std::optional<std::string> bareToken() {
    const auto token = Keychain::read(Keychain::Item::subToken);
    if (!token) return std::nullopt;
    return KavriToken::bare(*token);
}

}  // namespace

AppTelemetry& AppTelemetry::shared() {
    static AppTelemetry telemetry;
    return telemetry;
}

AppTelemetry::AppTelemetry(KavriStore& store, Clock& clock)
    : AppTelemetry(store, clock, KavriHTTP::apiSession(requestSeconds, resourceSeconds)) {}

AppTelemetry::AppTelemetry(KavriStore& store, Clock& clock, HttpSession session)
    : AppTelemetry(store, clock, std::move(session), Limits{}) {}

AppTelemetry::AppTelemetry(KavriStore& store, Clock& clock, HttpSession session, Limits limits)
    : store_(store),
      clock_(clock),
      session_(std::move(session)),
      limits_(limits),
      senders_(limits.running, limits.waiting),
      worker_([this](std::stop_token stop) { run(stop); }) {}

AppTelemetry::~AppTelemetry() { shutdown(); }

std::string AppTelemetry::appVersion() { return KavriConstants::versionText(); }

void AppTelemetry::track(const std::string& event, std::optional<std::int64_t> elapsedMs,
                         const nlohmann::json& extra) {
    try {
        Event e{event, elapsedMs, extra.is_object() ? extra : nlohmann::json::object(), {}, bareToken()};
        {
            std::lock_guard lock(mutex_);
            if (stopped_) return;
            if (queue_.size() < limits_.waiting) {
                // Taken under the lock, so that the queue's order is the
                // order of the capture times.
                e.at = clock_.wallNow();
                queue_.push_back(std::move(e));
                changed_.notify_all();
                return;
            }
        }
        dropped(event);
    } catch (...) {
        // Reporting never disturbs the caller.
    }
}

void AppTelemetry::shutdown() {
    {
        std::lock_guard lock(mutex_);
        stopped_ = true;
        queue_.clear();
    }
    changed_.notify_all();
    if (worker_.joinable() && worker_.get_id() != std::this_thread::get_id()) {
        worker_.request_stop();
        worker_.join();
    }
    // The worker starts no more requests: those under way are cancelled.
    senders_.stop();
}

void AppTelemetry::waitIdle() {
    {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return stopped_ || (queue_.empty() && !busy_); });
    }
    senders_.drain(std::chrono::minutes(1));
}

void AppTelemetry::dropped(const std::string& event) {
    std::uint64_t count;
    {
        std::lock_guard lock(mutex_);
        count = ++dropped_;
    }
    Log::line("[Kavri] app telemetry: too many reports waiting, \"" + event + "\" dropped (" +
              std::to_string(count) + " so far)");
}

void AppTelemetry::run(std::stop_token stop) {
    for (;;) {
        Event event;
        {
            std::unique_lock lock(mutex_);
            busy_ = false;
            changed_.notify_all();
            changed_.wait(lock, stop, [&] { return !queue_.empty(); });
            if (stop.stop_requested()) return;
            event = std::move(queue_.front());
            queue_.pop_front();
            busy_ = true;
        }
        try {
            // Started in the order built; a full queue of starts drops it.
            if (!senders_.post([this, body = build(event).dump()](std::stop_token stop) { send(body, stop); }))
                dropped(event.name);
        } catch (...) {
            // A report that cannot be built or serialised is dropped.
        }
    }
}

nlohmann::ordered_json AppTelemetry::build(const Event& event) {
    nlohmann::ordered_json report;
    report["report"] = "event";
    report["event"] = event.name;
    report["platform"] = KavriConstants::platformName;
    report["app_version"] = appVersion();
    report["os_version"] = SystemInfo::osVersion();
    report["device_id"] = DeviceID::current(store_);
    report["ts"] = duration_cast<seconds>(event.at.time_since_epoch()).count();
    if (event.token) report["sub_token"] = *event.token;
    if (lastEventAt_) report["interval_ms"] = duration_cast<milliseconds>(event.at - *lastEventAt_).count();
    if (event.elapsedMs) report["elapsed_ms"] = *event.elapsedMs;
    for (auto it = event.extra.begin(); it != event.extra.end(); ++it) report[it.key()] = nlohmann::ordered_json(it.value());
    lastEventAt_ = event.at;
    return report;
}

void AppTelemetry::send(const std::string& body, std::stop_token stop) const {
    std::vector<std::string> endpoints;
    for (const auto& host : ControlPlane::orderedHosts(store_)) {
        if (endpoints.size() == 2) break;
        if (const auto base = host.baseURL()) endpoints.push_back(*base + "/telemetry");
    }
    if (endpoints.empty()) return;
    if (post(endpoints[0], body, stop) || endpoints.size() < 2 || stop.stop_requested()) return;
    post(endpoints[1], body, stop);
}

bool AppTelemetry::post(const std::string& endpoint, const std::string& body, std::stop_token stop) const {
    HttpRequest request;
    request.method = "POST";
    request.url = endpoint;
    request.headers = {{"Content-Type", "application/json"},
                       {"User-Agent", userAgent},
                       {"X-Device-Id", DeviceID::current(store_)}};
    request.body = body;
    request.timeout = postTimeout;
    // The answer's body is never read: it is not kept either.
    request.bodySink = [](std::string_view) { return true; };
    try {
        const auto response = session_.send(request, stop);
        return response.status >= 200 && response.status <= 299;
    } catch (const HttpError&) {
        return false;
    }
}

}  // namespace kavri
