// The shared store's file: whatever bytes lie in "shared.plist" are read the
// way the store reads them, the getters coerce every value, and what was read
// is written in the binary form and read back unchanged.
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

#include "core/kavri_store.h"
#include "core/property_list.h"
#include "fuzz/fuzz_check.h"
#include "platform/runtime/log.h"

using namespace kavri;
namespace fs = std::filesystem;

namespace {

// Equality that counts a NaN equal to itself.
bool same(const PlistValue& a, const PlistValue& b) {
    if (a.variant().index() != b.variant().index()) return false;
    if (auto x = a.get<double>()) {
        const double y = *b.get<double>();
        return (std::isnan(*x) && std::isnan(y)) || *x == y;
    }
    if (auto x = a.get<PlistValue::Array>()) {
        const auto& y = *b.get<PlistValue::Array>();
        if (x->size() != y.size()) return false;
        for (std::size_t i = 0; i < x->size(); ++i)
            if (!same((*x)[i], y[i])) return false;
        return true;
    }
    if (auto x = a.get<PlistValue::Dict>()) {
        const auto& y = *b.get<PlistValue::Dict>();
        if (x->size() != y.size()) return false;
        for (auto i = x->begin(), j = y.begin(); i != x->end(); ++i, ++j)
            if (i->first != j->first || !same(i->second, j->second)) return false;
        return true;
    }
    return a == b;
}

fs::path storeDirectory;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    Log::setQuiet(true);
    // In memory where possible: rewriting a file on disk costs milliseconds.
    std::string pattern = (fs::is_directory("/dev/shm") ? "/dev/shm/" : "/tmp/") + std::string("kavri-fuzz-store-XXXXXX");
    storeDirectory = ::mkdtemp(pattern.data());
    std::atexit([] {
        std::error_code ec;
        fs::remove_all(storeDirectory, ec);
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);

    // As the store reads its file.
    {
        std::ofstream(storeDirectory / "shared.plist", std::ios::binary | std::ios::trunc) << bytes;
        KavriStore store(storeDirectory);
        const PlistValue::Dict all = store.snapshot();
        for (const auto& [key, value] : all) {
            (void)store.string(key);
            (void)store.data(key);
            (void)store.boolValue(key);
            (void)store.integer(key);
            (void)store.doubleValue(key);
        }
    }

    // What was read is written again and reads back the same.
    const auto value = PropertyList::decode(bytes);
    if (!value) return 0;
    const auto written = PropertyList::encodeBinary(*value);
    FUZZ_CHECK(written);
    const auto reread = PropertyList::decode(*written);
    FUZZ_CHECK(reread);
    FUZZ_CHECK(same(*value, *reread));
    return 0;
}
