// Shared store: a cached read beside a bare stat(2) of the same file, and a
// store write beside a bare write + fsync + rename of the same bytes (goals:
// within 2x and 3x).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "bench/bench_dir.h"
#include "bench/bench_goal.h"
#include "core/kavri_store.h"

namespace {

std::filesystem::path benchDir() {
    static const kavri::bench::BenchDir dir("kavri-bench-store");
    return dir.path();
}

void seed(kavri::KavriStore& store) {
    store.set("cached_singbox_config", kavri::Data{std::string(8000, 'c')});
    for (int i = 0; i < 30; ++i) store.set("key_" + std::to_string(i), i);
}

void BM_StoreCachedRead(benchmark::State& state) {
    kavri::KavriStore store(benchDir());
    seed(store);
    for (auto _ : state) benchmark::DoNotOptimize(store.integer("key_7"));
}
BENCHMARK(BM_StoreCachedRead);

void BM_BareStat(benchmark::State& state) {
    kavri::KavriStore store(benchDir());
    seed(store);
    const auto path = store.fileURL();
    struct stat st {};
    for (auto _ : state) benchmark::DoNotOptimize(::stat(path.c_str(), &st));
}
BENCHMARK(BM_BareStat);

void BM_StoreWrite(benchmark::State& state) {
    kavri::KavriStore store(benchDir());
    seed(store);
    std::int64_t i = 0;
    for (auto _ : state) store.set("counter", ++i);
}
BENCHMARK(BM_StoreWrite)->Unit(benchmark::kMicrosecond);

void BM_BareWriteFsyncRename(benchmark::State& state) {
    kavri::KavriStore store(benchDir());
    seed(store);
    std::ifstream in(store.fileURL(), std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    const std::string data = bytes.str();
    const auto tmp = benchDir() / "bare.tmp";
    const auto dst = benchDir() / "bare.plist";
    for (auto _ : state) {
        const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        benchmark::DoNotOptimize(::write(fd, data.data(), data.size()));
        ::fsync(fd);
        ::close(fd);
        ::rename(tmp.c_str(), dst.c_str());
    }
}
BENCHMARK(BM_BareWriteFsyncRename)->Unit(benchmark::kMicrosecond);

using kavri::bench::BenchGoal;
const bool goals = BenchGoal::cpuTimeWithin("a cached store read within 2x a bare stat", "BM_StoreCachedRead",
                                         "BM_BareStat", 2) &&
                   BenchGoal::timeWithin("a store write within 3x a bare write, fsync and rename", "BM_StoreWrite",
                                         "BM_BareWriteFsyncRename", 3);

}  // namespace
