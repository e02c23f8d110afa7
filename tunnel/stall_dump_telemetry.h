#pragma once

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace kavri {

// What the stall-dump upload needs of the extension's telemetry: fetch the
// engine's next stall dump (nothing when it has none) and send one dump as
// a "stall_dump" event report.
class StallDumpTelemetry {
public:
    virtual ~StallDumpTelemetry() = default;
    virtual std::optional<nlohmann::json> fetchStallDump() = 0;
    virtual void sendStallDump(const std::string& token, const nlohmann::json& dump, const nlohmann::json& fields) = 0;
};

}  // namespace kavri
