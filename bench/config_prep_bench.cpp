// Configuration preparation at start (local paths and runtime parameters
// over one parse, and serialisation) of a 2 MB configuration with 1,000 outbounds, beside a bare
// parse and dump of the same text (goal: within 2x).
#include <benchmark/benchmark.h>

#include <nlohmann/json.hpp>

#include "bench/bench_goal.h"
#include "platform/runtime/log.h"
#include "tunnel/packet_tunnel_provider.h"

namespace {

using json = nlohmann::json;

const std::string& bigConfig() {
    static const std::string text = [] {
        json outbounds = json::array();
        std::vector<std::string> members;
        for (int i = 0; i < 1000; ++i) {
            const std::string tag = "member-" + std::to_string(i);
            members.push_back(tag);
            outbounds.push_back({{"type", "vless"},
                                 {"tag", tag},
                                 {"server", "s" + std::to_string(i) + ".example.net"},
                                 {"server_port", 443},
                                 {"uuid", "0e6f3a56-5d4b-4b61-9a52-4f1c8c0b" + std::to_string(1000 + i)},
                                 {"flow", "xtls-rprx-vision"},
                                 {"tls",
                                  {{"enabled", true},
                                   {"server_name", "cdn" + std::to_string(i) + ".example.org"},
                                   {"utls", {{"enabled", true}, {"fingerprint", "chrome"}}},
                                   {"reality", {{"enabled", true}, {"public_key", std::string(43, 'k')}, {"short_id", "0123abcd"}}}}},
                                 {"transport", {{"type", "ws"}, {"path", "/" + std::string(1560, 'p')}, {"headers", {{"Host", "h.example"}}}}}});
        }
        outbounds.insert(outbounds.begin(), json{{"type", "selector"}, {"tag", "proxy"}, {"outbounds", members}, {"default", members[0]}});
        json ruleSets = json::array();
        for (const char* tag : {"geoip-ru", "geosite-category-ru", "ru-extra"})
            ruleSets.push_back({{"type", "local"}, {"tag", tag}, {"format", "binary"}, {"path", std::string("rules/") + tag + ".srs"}});
        json config = {{"inbounds", json::array({{{"type", "mixed"}, {"tag", "hb-in"}, {"listen", "127.0.0.1"}, {"listen_port", 1082}}})},
                       {"outbounds", outbounds},
                       {"route", {{"final", "proxy"}, {"rule_set", ruleSets}, {"rules", json::array({{{"rule_set", {"geoip-ru"}}, {"outbound", "direct"}}})}}},
                       {"experimental", {{"clash_api", {{"external_controller", "127.0.0.1:9090"}, {"secret", "s"}}}}}};
        return config.dump();
    }();
    return text;
}

void BM_ConfigPreparation(benchmark::State& state) {
    kavri::Log::setQuiet(true);
    kavri::ProviderSettings settings;
    settings.controllerBase = "http://127.0.0.1:9";  // nothing answers there
    kavri::PacketTunnelProvider provider(settings);
    const std::string& text = bigConfig();
    for (auto _ : state) {
        std::string prepared = provider.prepareConfiguration(text);
        benchmark::DoNotOptimize(prepared);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
    state.counters["config_bytes"] = static_cast<double>(text.size());
}
BENCHMARK(BM_ConfigPreparation)->Unit(benchmark::kMillisecond);

void BM_BareParseAndDump(benchmark::State& state) {
    const std::string& text = bigConfig();
    for (auto _ : state) {
        std::string out = json::parse(text).dump();
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_BareParseAndDump)->Unit(benchmark::kMillisecond);

const bool goals = kavri::bench::BenchGoal::cpuTimeWithin(
    "preparing a 2 MB configuration within 2x a bare parse and dump", "BM_ConfigPreparation", "BM_BareParseAndDump", 2);

}  // namespace
