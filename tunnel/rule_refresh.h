#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "platform/runtime/clock.h"
#include "platform/runtime/task.h"

namespace kavri {

// The loop that keeps the rule-set files fresh: the first download after a
// delay, then one an interval after each cycle (a shorter one while a file is
// missing). When a download changed a file, `apply` brings it into the engine.
class RuleRefresh {
public:
    struct Timing {
        std::chrono::milliseconds firstDelay{};
        std::chrono::milliseconds interval{};
        std::chrono::milliseconds missingInterval{};
    };

    RuleRefresh(Clock& clock, Timing timing, std::function<std::optional<std::string>()> deviceID,
                std::function<void(std::stop_token)> apply);

    // Starts the loop (or starts it over). A running loop is cancelled, not
    // waited for, and handed to `retired` for its owner to join.
    void start(std::vector<Task>& retired);
    // Cancels the loop without waiting; its task goes to `retired`.
    void cancel(std::vector<Task>& retired);

private:
    void loop(std::stop_token stop);

    Clock& clock_;
    Timing timing_;
    std::function<std::optional<std::string>()> deviceID_;
    std::function<void(std::stop_token)> apply_;
    Task task_;
};

}  // namespace kavri
