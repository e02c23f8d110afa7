#include "tunnel/member_probe.h"

#include <utility>

#include "core/kavri_defaults_key.h"

namespace kavri {

using json = nlohmann::json;

MemberProbe::MemberProbe(Clock& clock, KavriStore& store, ClashClient& clash, Telemetry& telemetry, RunState& run,
                         std::chrono::milliseconds tick)
    : clock_(clock), store_(store), clash_(clash), telemetry_(telemetry), run_(run), tick_(tick) {}

void MemberProbe::start(std::vector<Task>& retired) {
    task_.retireInto(retired);
    task_ = Task([this](std::stop_token stop) { loop(stop); });
}

void MemberProbe::cancel(std::vector<Task>& retired) { task_.retireInto(retired); }

void MemberProbe::loop(std::stop_token stop) {
    while (!stop.stop_requested()) {
        const std::int64_t sec = probeSec(store_.object(KavriDefaultsKey::stallWatchRaw));
        clock_.sleepFor(tick_, stop);
        if (stop.stop_requested()) return;
        pass(sec, stop);
    }
}

std::int64_t MemberProbe::probeSec(const std::optional<PlistValue>& stallWatchRaw) {
    constexpr std::int64_t kDefault = 20;
    if (!stallWatchRaw) return kDefault;
    const auto* dict = stallWatchRaw->get<PlistValue::Dict>();
    if (!dict) return kDefault;
    const auto it = dict->find("member_probe_sec");
    if (it == dict->end()) return kDefault;
    if (const auto* i = it->second.get<std::int64_t>()) return *i;
    if (const auto* d = it->second.get<double>()) return ClashClient::wholeNumber(json(*d)).value_or(kDefault);
    return kDefault;
}

std::map<std::string, std::int64_t> MemberProbe::delaysOf(const json& reply) {
    std::map<std::string, std::int64_t> delays;
    if (!reply.is_object()) return delays;
    for (const auto& [member, value] : reply.items())
        if (const auto ms = ClashClient::wholeNumber(value); ms && *ms >= 1) delays[member] = *ms;
    return delays;
}

void MemberProbe::pass(std::int64_t probeSec, std::stop_token stop) {
    if (probeSec < 1) return;
    const auto now = clock_.wallNow();
    if (!run_.groupProbeDue(now, probeSec)) return;
    // Only while connections exist; otherwise the probe runs as soon as some appear.
    const auto table = clash_.clashGET("connections", stop);
    const json* list = table ? ClashClient::connectionList(*table) : nullptr;
    if (!list || list->empty()) return;
    run_.noteGroupProbe(now);
    const auto reply = clash_.clashGET("group/" + ClashClient::encode(clash_.probeTag()) + "/delay?timeout=3000", stop);
    if (!reply) return;  // the previous delays stay
    telemetry_.update([&](Telemetry::Fields& f) { f.memberDelays = delaysOf(*reply); });
}

}  // namespace kavri
