// The keychain file: whatever bytes lie in "keychain.json" read as an item or
// as no keychain, and a write over them keeps them aside when they are no
// keychain, so the item written reads back.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "fuzz/fuzz_check.h"
#include "platform/keychain/keychain_file.h"
#include "platform/runtime/log.h"

using namespace kavri;
namespace fs = std::filesystem;

namespace {

fs::path directory;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    Log::setQuiet(true);
    std::string pattern =
        (fs::is_directory("/dev/shm") ? "/dev/shm/" : "/tmp/") + std::string("kavri-fuzz-keychain-XXXXXX");
    directory = ::mkdtemp(pattern.data());
    fs::permissions(directory, fs::perms::owner_all, fs::perm_options::replace);
    std::atexit([] {
        std::error_code ec;
        fs::remove_all(directory, ec);
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(directory, ec)) fs::remove(entry.path(), ec);
    std::ofstream(directory / "keychain.json", std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));

    KeychainFile keychain(directory);
    std::string value;
    const auto read = keychain.copy("com.kavri-app.app.subToken", value);
    FUZZ_CHECK(read == KeychainStatus::success || read == KeychainStatus::itemNotFound ||
               read == KeychainStatus::decodeError);

    FUZZ_CHECK(keychain.set("com.kavri-app.app.deviceID", "DEVICE", KeychainAccessibility::afterFirstUnlock) ==
               KeychainStatus::success);
    FUZZ_CHECK(keychain.copy("com.kavri-app.app.deviceID", value) == KeychainStatus::success);
    FUZZ_CHECK(value == "DEVICE");
    // An item that was readable before the write still is.
    if (read == KeychainStatus::success) {
        std::string again;
        FUZZ_CHECK(keychain.copy("com.kavri-app.app.subToken", again) == KeychainStatus::success);
    }
    return 0;
}
