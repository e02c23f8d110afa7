// The app's subscription download end to end: a 1 MB sealed configuration
// from a loopback control-plane host through SubscriptionClient (device
// identifier, request, opening the seal, the metadata check, the side
// settings recorded in the store, the configuration serialised again), beside
// a bare libcurl GET of the same sealed bytes from the same host in the same
// run. Both open a new TLS connection per request. As on a repeated pull of
// an unchanged subscription, the side settings equal what the store holds
// after the first fetch, so the store compares them and writes nothing.
// Goal: within 1.5x the bare GET.
#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <nlohmann/json.hpp>

#include "api/subscription_client.h"
#include "bench/bench_dir.h"
#include "bench/bench_goal.h"
#include "core/deployment.h"
#include "core/kavri_crypto.h"
#include "testing/test_control_plane.h"
#include "testing/test_pki.h"

using namespace kavri;

namespace {

constexpr std::size_t configSize = 1 << 20;
const std::string token = "0123456789abcdef0123456789abcdef";

// A configuration of many outbounds, as large as `size`, with its metadata.
std::string subscriptionOf(std::size_t size) {
    nlohmann::ordered_json body;
    body["log"] = {{"level", "warn"}};
    body["_kavri_meta"] = {{"version", 12},
                           {"pull_interval_seconds", 900},
                           {"device_removed", false},
                           {"control_plane_fallbacks", {"127.0.0.1:7001"}},
                           {"detect", {{"hb_interval_ms", 2500}}},
                           {"tier_0_apps", {{"ios", {{{"name", "Bank"}, {"bundle_id", "ru.bank.app"}}}}}}};
    auto outbounds = nlohmann::ordered_json::array();
    std::size_t bytes = 0;
    for (int i = 0; bytes < size; ++i) {
        nlohmann::ordered_json o = {
            {"type", "vless"},
            {"tag", "member-" + std::to_string(i)},
            {"server", "node" + std::to_string(i) + ".example.net"},
            {"server_port", 443},
            {"uuid", "7f3c2a10-4b5e-4c8d-9e1f-" + std::to_string(100000000000 + i)},
            {"flow", "xtls-rprx-vision"},
            {"tls",
             {{"enabled", true},
              {"server_name", "www.example.com"},
              {"utls", {{"enabled", true}, {"fingerprint", "chrome"}}},
              {"reality", {{"enabled", true}, {"public_key", std::string(43, 'k')}, {"short_id", "0123abcd"}}}}},
        };
        bytes += o.dump().size() + 1;
        outbounds.push_back(std::move(o));
    }
    body["outbounds"] = std::move(outbounds);
    body["route"] = {{"final", "proxy"}, {"auto_detect_interface", true}};
    return body.dump();
}

struct Fixture {
    bench::BenchDir dir{"kavri-bench-subscription"};
    TestControlPlane plane;
    std::unique_ptr<KavriStore> store;
    std::unique_ptr<SubscriptionClient> client;
    KavriCrypto::Session session;  // the bare GET's sealing headers
    std::string url;

    Fixture() {
        setenv("KAVRI_KEYCHAIN_DIR", (dir.path() / "keychain").c_str(), 1);
        store = std::make_unique<KavriStore>(dir.path());
        plane.setSubscription(token, subscriptionOf(configSize));
        Deployment::install(plane.deployment());
        client = std::make_unique<SubscriptionClient>(KavriHTTP::api(), *store);
        url = plane.baseURL() + "/sub/" + token;
    }
};

Fixture& fixture() {
    static Fixture f;
    return f;
}

void SubscriptionClientFetch(benchmark::State& state) {
    Fixture& f = fixture();
    // Again on each run: a benchmark run in between (the paired rounds) may
    // have installed a deployment of its own.
    Deployment::install(f.plane.deployment());
    std::size_t bytes = 0;
    for (auto _ : state) {
        auto result = f.client->fetch(token, 8);
        bytes = result.singboxConfigData.size();
        benchmark::DoNotOptimize(result);
    }
    state.counters["config_bytes"] = static_cast<double>(bytes);
}

std::size_t collect(char* data, std::size_t size, std::size_t count, void* user) {
    static_cast<std::string*>(user)->append(data, size * count);
    return size * count;
}

void BareCurlGet(benchmark::State& state) {
    Fixture& f = fixture();
    const std::string ca = TestPki::shared().caFile();
    curl_slist* headers = nullptr;
    headers = curl_slist_append(headers, ("X-Kavri-EphPub: " + f.session.ephPubBase64()).c_str());
    headers = curl_slist_append(headers, ("X-Kavri-Nonce: " + f.session.nonceBase64()).c_str());
    std::size_t bytes = 0;
    for (auto _ : state) {
        std::string body;
        CURL* c = curl_easy_init();
        curl_easy_setopt(c, CURLOPT_URL, f.url.c_str());
        curl_easy_setopt(c, CURLOPT_CAINFO, ca.c_str());
        curl_easy_setopt(c, CURLOPT_PROXY, "");
        curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers);
        curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, collect);
        curl_easy_setopt(c, CURLOPT_WRITEDATA, &body);
        if (curl_easy_perform(c) != CURLE_OK) state.SkipWithError("the bare GET failed");
        curl_easy_cleanup(c);
        bytes = body.size();
        benchmark::DoNotOptimize(body);
    }
    curl_slist_free_all(headers);
    state.counters["reply_bytes"] = static_cast<double>(bytes);
}

}  // namespace

BENCHMARK(SubscriptionClientFetch)->Unit(benchmark::kMillisecond);
BENCHMARK(BareCurlGet)->Unit(benchmark::kMillisecond);

namespace {
const bool goals = bench::BenchGoal::timeWithin("a 1 MB sealed subscription fetched within 1.5x a bare libcurl GET",
                                                "SubscriptionClientFetch", "BareCurlGet", 1.5);
}  // namespace
