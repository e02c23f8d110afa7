// A subscription reply body as the configuration fetch reads it once opened:
// the metadata block comes out, the rest is the configuration, written again
// compact and sorted. The detection and stall-watch objects it carries are
// read as the extension reads them.
#include <algorithm>
#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "core/config_fetcher.h"
#include "core/detect_config.h"
#include "core/stall_watch.h"
#include "fuzz/fuzz_check.h"

using namespace kavri;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string body(reinterpret_cast<const char*>(data), size);
    ConfigFetcher::Reply reply;
    try {
        reply = ConfigFetcher::readReply(body);
    } catch (const ConfigFetcher::FetchError& e) {
        FUZZ_CHECK(e.kind() == ConfigFetcher::FetchError::Kind::Malformed);
        return 0;
    }
    const auto& f = reply.fetched;
    if (f.detectRaw) (void)DetectConfig::parse(*f.detectRaw);
    if (f.stallWatchRaw) (void)StallWatch::Config::parseJson(*f.stallWatchRaw);
    if (f.trialNotice) FUZZ_CHECK(f.trialNotice->is_object());

    // The configuration is the reply without its metadata, nothing lost.
    auto expected = nlohmann::json::parse(body);
    expected.erase("_kavri_meta");
    const auto config = nlohmann::json::parse(f.config, nullptr, false);
    FUZZ_CHECK(!config.is_discarded());
    FUZZ_CHECK(config == expected);
    FUZZ_CHECK(config.dump().size() == f.config.size() - static_cast<std::size_t>(std::count(f.config.begin(), f.config.end(), '/')));
    return 0;
}
