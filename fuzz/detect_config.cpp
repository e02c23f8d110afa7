// The detection settings from the server's "detect" object as JSON text:
// whatever it holds, every field ends within its limits.
#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "core/detect_config.h"
#include "fuzz/fuzz_check.h"

using namespace kavri;

namespace {

bool within(std::int64_t v, std::int64_t low, std::int64_t high) { return v >= low && v <= high; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto raw = nlohmann::json::parse(text, nullptr, false);
    if (raw.is_discarded()) return 0;
    if (raw.is_object())
        for (const auto& [key, value] : raw.items()) {
            (void)DetectConfig::readBool(value);
            (void)DetectConfig::readInt(value);
        }

    const DetectConfig c = DetectConfig::parse(raw);
    FUZZ_CHECK(within(c.hbIntervalMs, 1000, 30000));
    FUZZ_CHECK(within(c.hbIntervalBgMs, 5000, 300000));
    FUZZ_CHECK(within(c.hbTimeoutMs, 500, 10000));
    FUZZ_CHECK(within(c.hbMissToSwitch, 1, 10));
    FUZZ_CHECK(within(c.hbGraceAfterPathMs, 0, 60000));
    FUZZ_CHECK(c.hbURL.starts_with("http"));
    FUZZ_CHECK(within(c.switchMinIntervalMs, 5000, 600000));
    FUZZ_CHECK(within(c.maxSwitchPerHour, 0, 100));
    FUZZ_CHECK(within(c.configPollSec, 60, 3600));
    FUZZ_CHECK(within(c.stalledAgeSec, 1, 600));
    FUZZ_CHECK(c.tlsHandshakeTimeoutMs == 0 || within(c.tlsHandshakeTimeoutMs, 500, 30000));
    FUZZ_CHECK(within(c.realitySpiderTimeoutMs, 500, 60000));
    FUZZ_CHECK(within(c.realitySpiderMax, 0, 64));
    FUZZ_CHECK(c.wakeResetSec == 0 || within(c.wakeResetSec, 30, 3600));
    FUZZ_CHECK(c.wakeSkipIfTrafficSec == 0 || within(c.wakeSkipIfTrafficSec, 5, 600));
    if (!raw.is_object()) FUZZ_CHECK(c == DetectConfig::baked());
    return 0;
}
