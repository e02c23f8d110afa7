// The stall-watch settings in both forms they arrive in: the server's JSON
// object and the dictionary kept in the shared store's property list. Both
// end within their limits, and a JSON object reads the same once stored.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/plist_value.h"
#include "core/property_list.h"
#include "core/stall_watch.h"
#include "fuzz/fuzz_check.h"
#include "platform/runtime/json_depth.h"

using namespace kavri;

namespace {

template <class T>
bool within(T v, T low, T high) {
    return v >= low && v <= high;
}

void checkLimits(const StallWatch::Config& c) {
    FUZZ_CHECK(within(c.stallSeconds, 3, 120));
    FUZZ_CHECK(within(c.stallSecondsBg, 3, 300));
    FUZZ_CHECK(within(c.minNewConns, 1, 100));
    FUZZ_CHECK(within(c.pathChangeGraceMs, 0.0, 60000.0));
    FUZZ_CHECK(within(c.maxRebuildsPerMin, 1, 20));
    FUZZ_CHECK(!c.cooldownLadderSec.empty());
    FUZZ_CHECK(std::all_of(c.cooldownLadderSec.begin(), c.cooldownLadderSec.end(), [](auto s) { return s > 0; }));
    FUZZ_CHECK(within(c.pollMs, 500.0, 30000.0));
    FUZZ_CHECK(within(c.rebuildsBeforeSwitch, 1, 10));
    FUZZ_CHECK(within(c.switchMinIntervalSec, 30.0, 3600.0));
    FUZZ_CHECK(within(c.quietAfterSwitchSec, 5.0, 600.0));
}

bool holdsNull(const nlohmann::json& v) {
    if (v.is_null()) return true;
    if (v.is_structured())
        for (const auto& item : v)
            if (holdsNull(item)) return true;
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);

    // The stored form: any property list.
    checkLimits(StallWatch::Config::parse(PropertyList::decode(bytes)));

    // The server's form.
    if (!JsonDepth::within(bytes, 256)) return 0;
    const auto json = nlohmann::json::parse(bytes, nullptr, false);
    if (json.is_discarded()) return 0;
    const StallWatch::Config fromJson = StallWatch::Config::parseJson(json);
    checkLimits(fromJson);
    // Stored as the extension stores it (nulls have no property-list form;
    // entries the file cannot hold are left out), it reads the same.
    if (holdsNull(json)) return 0;
    std::vector<std::string> leftOut;
    const auto storable = PropertyList::storablePart(PlistValue::fromJson(json), leftOut);
    // A value with no form at all (a bare text holding NUL) is not stored.
    const auto stored = storable ? PropertyList::encodeBinary(*storable) : std::nullopt;
    FUZZ_CHECK(!storable || stored);
    FUZZ_CHECK(StallWatch::Config::parse(stored ? PropertyList::decode(*stored) : std::nullopt) == fromJson);
    return 0;
}
