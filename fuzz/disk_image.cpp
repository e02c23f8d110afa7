// A disk image of any bytes: attaching it writes nothing outside its mount
// point, leaves no link that leads out of it, and what it unpacked goes on
// detach or on refusal.
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>

#include "fuzz/fuzz_check.h"
#include "platform/diskimage/disk_image.h"

using namespace kavri;
namespace fs = std::filesystem;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const fs::path root = [] {
        std::string pattern = (fs::temp_directory_path() / "kavri-fuzz-image-XXXXXX").string();
        FUZZ_CHECK(::mkdtemp(pattern.data()) != nullptr);
        return fs::path(pattern);
    }();
    const fs::path image = root / "image.dmg", mount = root / "mount";
    std::ofstream(image, std::ios::binary).write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    try {
        // Small limits keep every run short; they are checked as the real ones.
        DiskImage::attach(image, mount, {.maxBytes = 4u << 20, .maxEntries = 2000, .maxDepth = 16});
        const fs::path top = fs::canonical(mount);
        for (const auto& entry : fs::recursive_directory_iterator(mount)) {
            if (!entry.is_symlink()) continue;
            const std::string real = fs::weakly_canonical(entry.path()).string();
            FUZZ_CHECK(real == top.string() || real.starts_with(top.string() + "/"));
        }
        DiskImage::detach(mount);
        FUZZ_CHECK(!fs::exists(mount));
    } catch (const DiskImage::Error&) {
        FUZZ_CHECK(fs::is_empty(mount));
    }
    for (const auto& entry : fs::directory_iterator(root)) {
        const std::string name = entry.path().filename().string();
        FUZZ_CHECK(name == "image.dmg" || name == "mount");
    }
    fs::remove_all(mount);
    return 0;
}
