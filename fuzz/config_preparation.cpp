// Configuration preparation at start: the configuration text of the start
// options gets its rule-set entries pointed at the local files and the
// engine's cache file, and the provider learns the controller's secret, the
// heartbeat inbound and the proxy group from it. Two of the three rule files
// exist, so entries are both rewritten and removed.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/kavri_store.h"
#include "core/ru_rules.h"
#include "fuzz/fuzz_check.h"
#include "platform/runtime/json_depth.h"
#include "platform/runtime/log.h"
#include "tunnel/packet_tunnel_provider.h"

using namespace kavri;
using nlohmann::json;
namespace fs = std::filesystem;

namespace {

fs::path root;
std::unique_ptr<KavriStore> store;
std::unique_ptr<PacketTunnelProvider> provider;

// The rule-set rewrite on its own: known rule sets that have their file
// point at it, and a second pass changes nothing.
void checkRuleRewrite(const std::string& config) {
    const RuRules::Absolutized out = RuRules::absolutizeRulePaths(config);
    for (const std::string& tag : out.missing) FUZZ_CHECK(tag == "geosite-category-ru");
    if (out.config == config) return;
    const auto rewritten = json::parse(out.config, nullptr, false);
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
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    // The provider looks up the proxy group on threads of its own, so memory
    // is still in use when an input ends: leaks are looked for at exit
    // rather than after each input (a later -detect_leaks=1 still wins).
    static std::vector<char*> args(*argv, *argv + *argc);
    static char noLeakChecks[] = "-detect_leaks=0";
    args.insert(args.begin() + 1, noLeakChecks);
    args.push_back(nullptr);
    *argc = static_cast<int>(args.size() - 1);
    *argv = args.data();

    Log::setQuiet(true);
    // In memory where possible: file operations on disk cost milliseconds.
    std::string pattern = (fs::is_directory("/dev/shm") ? "/dev/shm/" : "/tmp/") + std::string("kavri-fuzz-config-XXXXXX");
    root = ::mkdtemp(pattern.data());
    ::setenv("KAVRI_SHARED_DIR", (root / "shared").c_str(), 1);
    fs::create_directories(root / "resources");  // nothing to seed from
    RuRules::setResourcesDirectory(root / "resources");
    for (const char* file : {"geoip-ru.srs", "ru-extra.srs"})
        std::ofstream(RuRules::rulesDirectory() / file, std::ios::binary) << "SRS\x01rules";

    store = std::make_unique<KavriStore>(KavriStore::directory());
    ProviderSettings settings;
    settings.store = store.get();
    settings.controllerBase = "http://127.0.0.1:9";  // nobody listens: group lookups fail at once
    provider = std::make_unique<PacketTunnelProvider>(settings);
    std::atexit([] {
        provider.reset();
        store.reset();
        std::error_code ec;
        fs::remove_all(root, ec);
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string config(reinterpret_cast<const char*>(data), size);
    checkRuleRewrite(config);

    // As the start prepares it: both passes over one parse, and the rewrite
    // alone gives the same text.
    const std::string prepared = provider->prepareConfiguration(config);
    FUZZ_CHECK(provider->applyLocalPaths(config) == prepared);
    const bool readable = JsonDepth::within(config, RuRules::kMaxNesting) && json::parse(config, nullptr, false).is_object();
    if (!readable) {
        FUZZ_CHECK(prepared == config);
        return 0;
    }
    const auto out = json::parse(prepared, nullptr, false);
    FUZZ_CHECK(out.is_object());
    const json& cache = out.at("experimental").at("cache_file");
    FUZZ_CHECK(cache.at("enabled") == true);
    FUZZ_CHECK(cache.at("path") == (store->fileURL().parent_path() / "cache.db").string());
    return 0;
}
