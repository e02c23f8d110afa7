// Configuration preparation at start: the configuration text of the start
// options gets its rule-set entries pointed at the local files. Two of the
// three rule files exist, so entries are both rewritten and removed.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

#include <nlohmann/json.hpp>

#include "core/ru_rules.h"
#include "fuzz/fuzz_check.h"
#include "platform/runtime/log.h"

using namespace kavri;
namespace fs = std::filesystem;

namespace {
fs::path root;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    Log::setQuiet(true);
    // In memory where possible: rewriting a file on disk costs milliseconds.
    std::string pattern = (fs::is_directory("/dev/shm") ? "/dev/shm/" : "/tmp/") + std::string("kavri-fuzz-config-XXXXXX");
    root = ::mkdtemp(pattern.data());
    std::atexit([] {
        std::error_code ec;
        fs::remove_all(root, ec);
    });
    ::setenv("KAVRI_SHARED_DIR", (root / "shared").c_str(), 1);
    fs::create_directories(root / "resources");  // nothing to seed from
    RuRules::setResourcesDirectory(root / "resources");
    for (const char* file : {"geoip-ru.srs", "ru-extra.srs"})
        std::ofstream(RuRules::rulesDirectory() / file, std::ios::binary) << "SRS\x01rules";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string config(reinterpret_cast<const char*>(data), size);
    const RuRules::Absolutized out = RuRules::absolutizeRulePaths(config);

    for (const std::string& tag : out.missing) FUZZ_CHECK(tag == "geosite-category-ru");
    if (out.config == config) return 0;

    // A rewritten configuration is a JSON object whose known rule sets that
    // have their file point at it, and a second pass changes nothing.
    const auto rewritten = nlohmann::json::parse(out.config, nullptr, false);
    FUZZ_CHECK(rewritten.is_object());
    for (const auto& entry : rewritten.at("route").at("rule_set")) {
        const auto tag = entry.find("tag");
        if (tag == entry.end() || !tag->is_string()) continue;
        FUZZ_CHECK(*tag != "geosite-category-ru");
        if (*tag == "geoip-ru" || *tag == "ru-extra") {
            FUZZ_CHECK(entry.at("type") == "local");
            FUZZ_CHECK(entry.at("path") == (RuRules::rulesDirectory() / (tag->get<std::string>() + ".srs")).string());
            FUZZ_CHECK(!entry.contains("url"));
        }
    }
    const RuRules::Absolutized again = RuRules::absolutizeRulePaths(out.config);
    FUZZ_CHECK(again.config == out.config);
    FUZZ_CHECK(again.missing.empty());
    return 0;
}
