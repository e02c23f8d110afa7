#include "tunnel/rule_refresh.h"

#include <utility>

#include "core/kavri_http.h"
#include "core/ru_rules.h"

namespace kavri {

RuleRefresh::RuleRefresh(Clock& clock, Timing timing, std::function<std::optional<std::string>()> deviceID,
                         std::function<void(std::stop_token)> apply)
    : clock_(clock), timing_(timing), deviceID_(std::move(deviceID)), apply_(std::move(apply)) {}

void RuleRefresh::start(std::vector<Task>& retired) {
    task_.retireInto(retired);
    task_ = Task([this](std::stop_token stop) { loop(stop); });
}

void RuleRefresh::cancel(std::vector<Task>& retired) { task_.retireInto(retired); }

void RuleRefresh::loop(std::stop_token stop) {
    clock_.sleepFor(timing_.firstDelay, stop);
    while (!stop.stop_requested()) {
        if (RuRules::refreshFromRemote(deviceID_(), KavriHTTP::api(), stop, clock_)) apply_(stop);
        // Measured after this cycle's download and reload.
        const auto wait = RuRules::hasAllFiles() ? timing_.interval : timing_.missingInterval;
        clock_.sleepFor(wait, stop);
    }
}

}  // namespace kavri
