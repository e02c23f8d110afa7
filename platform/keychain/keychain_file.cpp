#include "platform/keychain/keychain_file.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <nlohmann/json.hpp>

#include "platform/runtime/base64.h"
#include "platform/runtime/json_depth.h"
#include "platform/runtime/log.h"
#include "platform/userdata/private_file.h"
#include "platform/userdata/user_data_directory.h"

namespace kavri {
namespace {

// Serialises the read-modify-write of every keychain file of this process;
// the lock file serialises processes.
std::mutex& writeMutex() {
    static std::mutex m;
    return m;
}

const char* accessibilityName(KeychainAccessibility a) {
    switch (a) {
        case KeychainAccessibility::afterFirstUnlock:
            return "after_first_unlock";
    }
    return "after_first_unlock";
}

// The items of the file, or std::nullopt with a status when it cannot be
// read or is not a keychain. A missing file is an empty keychain.
std::optional<nlohmann::json> loadItems(const std::filesystem::path& file, OSStatus& status) {
    status = KeychainStatus::success;
    int error = 0;
    const auto text = PrivateFile::read(file, error);
    if (!text) {
        if (error == ENOENT) return nlohmann::json::object();
        status = KeychainStatus::ioError;
        return std::nullopt;
    }
    // Two short items: a longer or deeper file is no keychain of ours, and
    // is refused before a tree of it is built.
    if (text->size() > KeychainFile::maxFileBytes || !JsonDepth::within(*text, KeychainFile::maxNesting)) {
        status = KeychainStatus::decodeError;
        return std::nullopt;
    }
    auto root = nlohmann::json::parse(*text, nullptr, false);
    const auto items = root.is_object() ? root.find("items") : root.end();
    if (!root.is_object() || items == root.end() || !items->is_object()) {
        status = KeychainStatus::decodeError;
        return std::nullopt;
    }
    return std::move(*items);
}

// "keychain.json.corrupt-<seconds>", or with "-2", "-3", ... added when an
// earlier file was set aside in the same second: no aside file is ever
// replaced. Called under the lock file, so no other process takes the name
// between the test and the rename.
std::filesystem::path asideName(const std::filesystem::path& file) {
    const auto stamp =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    const std::string base = file.string() + ".corrupt-" + std::to_string(stamp);
    std::filesystem::path aside = base;
    std::error_code ec;
    for (int n = 2; std::filesystem::exists(std::filesystem::symlink_status(aside, ec)); ++n)
        aside = base + "-" + std::to_string(n);
    return aside;
}

OSStatus store(const std::filesystem::path& file, const nlohmann::json& items) {
    const nlohmann::json root = {{"version", 1}, {"items", items}};
    return PrivateFile::writeAtomically(file, root.dump(2) + "\n") == 0 ? KeychainStatus::success
                                                                          : KeychainStatus::ioError;
}

}  // namespace

std::filesystem::path KeychainFile::defaultDirectory() {
    if (const char* dir = std::getenv("KAVRI_KEYCHAIN_DIR"); dir && *dir) return dir;
    return UserDataDirectory::path();
}

KeychainFile::KeychainFile(std::filesystem::path directory)
    : directory_(std::move(directory)),
      file_(directory_ / "keychain.json"),
      lock_(directory_ / "keychain.lock") {}

OSStatus KeychainFile::copy(std::string_view account, std::string& data) const {
    OSStatus status;
    const auto items = loadItems(file_, status);
    if (!items) return status;
    const auto item = items->find(std::string(account));
    if (item == items->end()) return KeychainStatus::itemNotFound;
    const auto value = item->is_object() ? item->find("data") : item->end();
    if (value == item->end() || !value->is_string()) return KeychainStatus::decodeError;
    auto bytes = Base64::decode(value->get<std::string>());
    if (!bytes) return KeychainStatus::decodeError;
    data = std::move(*bytes);
    return KeychainStatus::success;
}

OSStatus KeychainFile::set(std::string_view account, std::string_view data,
                           KeychainAccessibility accessibility) {
    if (!UserDataDirectory::ensure(directory_)) return KeychainStatus::ioError;
    std::lock_guard guard(writeMutex());
    PrivateFile::Lock lock(lock_);
    OSStatus status;
    auto items = loadItems(file_, status);
    if (!items) {
        if (status != KeychainStatus::decodeError) return status;
        // Keep the unreadable file for the user rather than overwrite it.
        const auto aside = asideName(file_);
        std::error_code ec;
        std::filesystem::rename(file_, aside, ec);
        if (ec) return KeychainStatus::ioError;
        Log::line("[Kavri] keychain file unreadable, kept as " + aside.string());
        items = nlohmann::json::object();
    }
    (*items)[std::string(account)] = {{"data", Base64::encode(data)},
                                      {"accessible", accessibilityName(accessibility)}};
    return store(file_, *items);
}

OSStatus KeychainFile::remove(std::string_view account) {
    std::lock_guard guard(writeMutex());
    PrivateFile::Lock lock(lock_);
    OSStatus status;
    auto items = loadItems(file_, status);
    if (!items) return status;
    if (items->erase(std::string(account)) == 0) return KeychainStatus::itemNotFound;
    return store(file_, *items);
}

}  // namespace kavri
