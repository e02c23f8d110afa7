#include "tunnel/group_tracker.h"

#include <algorithm>
#include <cctype>

#include <nlohmann/json.hpp>

#include "core/kavri_defaults_key.h"
#include "platform/runtime/log.h"

namespace kavri {

using json = nlohmann::json;

GroupTracker::GroupTracker(Clock& clock, KavriStore& store, ClashClient& clash, Telemetry& telemetry, RunState& run,
                           std::chrono::milliseconds settle)
    : clock_(clock), store_(store), clash_(clash), telemetry_(telemetry), run_(run), settle_(settle) {}

std::optional<std::string> GroupTracker::now(std::stop_token stop) const {
    const auto state = clash_.groupState(stop);
    return state ? state->now : std::nullopt;
}

void GroupTracker::reselect(const std::optional<std::string>& previousMember, std::stop_token stop) {
    if (!previousMember) return;
    // The reloaded engine settles; the run's stop cuts the pause short, and
    // a run that is stopping re-selects nothing.
    clock_.sleepFor(settle_, stop);
    if (stop.stop_requested()) return;
    const auto state = clash_.groupState(stop);
    if (!state) return;
    std::string type = state->type;
    std::transform(type.begin(), type.end(), type.begin(), [](unsigned char c) { return std::tolower(c); });
    const bool listed =
        std::find(state->members.begin(), state->members.end(), *previousMember) != state->members.end();
    if (!listed || state->now == *previousMember || type.find("selector") == std::string::npos) return;
    if (!clash_.putSelection(*previousMember, stop)) return;
    Log::line("[Kavri] анти-snap-back: ре-селект активного члена " + *previousMember + " после reload");
    refresh(stop);
}

void GroupTracker::noteActive(const std::optional<std::string>& member) {
    if (run_.setActiveMember(member)) telemetry_.update([&](Telemetry::Fields& f) { f.activeMember = member; });
}

void GroupTracker::refresh(std::stop_token stop) {
    const auto state = clash_.groupState(stop);
    if (!state) return;
    noteActive(state->now);
    const auto stored = store_.data(KavriDefaultsKey::cachedSingboxConfig);
    if (!stored) return;
    const json config = json::parse(*stored, nullptr, false);
    if (!config.is_object()) return;
    const auto outbounds = config.find("outbounds");
    if (outbounds == config.end() || !outbounds->is_array() ||
        !std::all_of(outbounds->begin(), outbounds->end(), [](const json& o) { return o.is_object(); }))
        return;
    for (const auto& o : *outbounds) {
        const auto tag = o.find("tag");
        if (!state->now || tag == o.end() || !tag->is_string() || *tag != *state->now) continue;
        if (const auto server = o.find("server"); server != o.end() && server->is_string()) {
            const std::string text = server->get<std::string>();
            if (!text.empty()) telemetry_.update([&](Telemetry::Fields& f) { f.surfaceID = text; });
        }
        break;
    }
}

}  // namespace kavri
