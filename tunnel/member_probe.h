#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/kavri_store.h"
#include "core/property_list.h"
#include "platform/runtime/clock.h"
#include "platform/runtime/task.h"
#include "tunnel/clash_client.h"
#include "tunnel/run_state.h"
#include "tunnel/telemetry.h"

namespace kavri {

// The member probe: at each tick, once the stored "member_probe_sec" has
// passed since the last probe and only while connections exist, it has the
// engine measure every member of the proxy group and hands the delays to the
// telemetry.
class MemberProbe {
public:
    MemberProbe(Clock& clock, KavriStore& store, ClashClient& clash, Telemetry& telemetry, RunState& run,
                std::chrono::milliseconds tick);

    // Starts the loop (or starts it over). A running loop is cancelled, not
    // waited for, and handed to `retired` for its owner to join.
    void start(std::vector<Task>& retired);
    // Cancels the loop without waiting; its task goes to `retired`.
    void cancel(std::vector<Task>& retired);

    // One tick after the loop's sleep, with the stored "member_probe_sec".
    void pass(std::int64_t probeSec, std::stop_token stop = {});
    // "member_probe_sec" of the stored stall-watch object: 20 when missing
    // or not a whole number; 0 or less switches the probe off.
    static std::int64_t probeSec(const std::optional<PlistValue>& stallWatchRaw);
    // The members with a delay of at least 1 ms in a delay reply.
    static std::map<std::string, std::int64_t> delaysOf(const nlohmann::json& reply);

private:
    void loop(std::stop_token stop);

    Clock& clock_;
    KavriStore& store_;
    ClashClient& clash_;
    Telemetry& telemetry_;
    RunState& run_;
    std::chrono::milliseconds tick_;
    Task task_;
};

}  // namespace kavri
