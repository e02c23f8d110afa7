#pragma once

#include <chrono>
#include <optional>
#include <stop_token>
#include <string>

#include "core/kavri_store.h"
#include "platform/runtime/clock.h"
#include "tunnel/clash_client.h"
#include "tunnel/run_state.h"
#include "tunnel/telemetry.h"

namespace kavri {

// Keeps the run's view of the engine's proxy group: the member the group
// uses (in the run state and the telemetry) with its server, and puts the
// group back on the member it used before a hot reload.
class GroupTracker {
public:
    // `settle`: the pause after a hot reload before the group is looked at.
    GroupTracker(Clock& clock, KavriStore& store, ClashClient& clash, Telemetry& telemetry, RunState& run,
                 std::chrono::milliseconds settle);

    // The member the group uses now; nothing when the group cannot be read.
    std::optional<std::string> now(std::stop_token stop = {}) const;
    // After a successful hot reload: selects `previousMember` again when the
    // reloaded selector group moved away from it. Nothing without a member.
    void reselect(const std::optional<std::string>& previousMember, std::stop_token stop = {});
    // Reads the group and records the member it uses, and that member's
    // server as the telemetry's surface.
    void refresh(std::stop_token stop = {});
    // Records the member the group uses (run state and telemetry) when it
    // differs from the one known.
    void noteActive(const std::optional<std::string>& member);

private:
    Clock& clock_;
    KavriStore& store_;
    ClashClient& clash_;
    Telemetry& telemetry_;
    RunState& run_;
    std::chrono::milliseconds settle_;
};

}  // namespace kavri
