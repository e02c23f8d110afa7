#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/kavri_store.h"
#include "core/plist_value.h"
#include "platform/http/http_session.h"
#include "platform/runtime/bounded_worker.h"
#include "platform/runtime/clock.h"

namespace kavri {

// The app's product events ("app_open", "connect_start", "catalog_fetch",
// ...), each POSTed as one report to "telemetry" on the first control-plane
// host, and once more to the second when the first does not take it.
// Fire-and-forget: track() returns at once and never fails; every failure is
// dropped without a trace. Reports are built one at a time and started in the
// order of the calls, on a worker of their own; their requests then run side
// by side, a few at a time, so a host that hangs holds up no later report.
// Reports beyond what may wait are dropped and counted in the log.
class AppTelemetry {
public:
    struct Limits {
        std::size_t running = 4;   // requests under way at once
        std::size_t waiting = 64;  // reports waiting to be built, and built ones waiting to start
    };

    // The session every report travels on: 4 s without a byte, 6 s in all.
    static constexpr double requestSeconds = 4;
    static constexpr double resourceSeconds = 6;
    // The limit a report asks for; the session's own limit ends it first.
    static constexpr std::chrono::seconds postTimeout{60};
    static constexpr const char* userAgent = "KavriApp iOS-UI";

    // The process's reporter, made on first use.
    static AppTelemetry& shared();

    AppTelemetry(KavriStore& store = KavriStore::shared(), Clock& clock = Clock::system());
    AppTelemetry(KavriStore& store, Clock& clock, HttpSession session);
    AppTelemetry(KavriStore& store, Clock& clock, HttpSession session, Limits limits);
    // As shutdown().
    ~AppTelemetry();
    AppTelemetry(const AppTelemetry&) = delete;
    AppTelemetry& operator=(const AppTelemetry&) = delete;

    // Captures the time and the subscription token on the calling thread and
    // queues the report. `extra` (an object of texts, integers and Booleans)
    // is added last and replaces keys of the same name. Any thread.
    void track(const std::string& event, std::optional<std::int64_t> elapsedMs = std::nullopt,
               const nlohmann::json& extra = nullptr);

    // The app is quitting: cancels the report under way, drops the queued
    // ones and ends the worker; later events are dropped. Not from the worker.
    void shutdown();
    // Waits until every queued report was sent or dropped (tests).
    void waitIdle();

    // Set by the connect buttons just before they report "connect_start".
    // Main thread.
    std::optional<Date> connectStartAt;
    // Set by the application when it reports "app_open". Main thread.
    bool didSendOpen = false;

    // "<short version> (<build>)" of the running app, "?" for what is missing.
    static std::string appVersion();

private:
    struct Event {
        std::string name;
        std::optional<std::int64_t> elapsedMs;
        nlohmann::json extra;
        Date at;
        std::optional<std::string> token;
    };

    void run(std::stop_token stop);
    nlohmann::ordered_json build(const Event& event);
    void send(const std::string& body, std::stop_token stop) const;
    bool post(const std::string& endpoint, const std::string& body, std::stop_token stop) const;
    // Counts a report that found no room and says so in the log.
    void dropped(const std::string& event);

    KavriStore& store_;
    Clock& clock_;
    HttpSession session_;
    const Limits limits_;

    std::mutex mutex_;
    std::condition_variable_any changed_;
    std::deque<Event> queue_;
    bool busy_ = false;     // the worker holds an event
    bool stopped_ = false;  // shut down: events are dropped

    std::uint64_t dropped_ = 0;        // under mutex_
    std::optional<Date> lastEventAt_;  // worker only
    BoundedWorker senders_;            // the requests under way and the reports waiting to start
    std::jthread worker_;              // last: it ends before the rest goes
};

}  // namespace kavri
