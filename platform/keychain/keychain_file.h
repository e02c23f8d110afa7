#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace kavri {

// Status codes of keychain operations (0 is success).
using OSStatus = std::int32_t;
namespace KeychainStatus {
inline constexpr OSStatus success = 0;
inline constexpr OSStatus itemNotFound = -25300;
inline constexpr OSStatus ioError = -36;
inline constexpr OSStatus decodeError = -26275;
inline constexpr OSStatus notAvailable = -25291;
}  // namespace KeychainStatus

// When a stored item may be read. Only the one the app needs exists: after
// the user first logged in since the machine started, which on this system
// is whenever the user's own files can be read.
enum class KeychainAccessibility { afterFirstUnlock };

// The user's keychain of generic-password items, identified by their account
// name alone: one JSON file "keychain.json" of mode 0600 in a folder of mode
// 0700, replaced atomically on every change, so a failed write leaves the
// earlier items as they were.
class KeychainFile {
public:
    // KAVRI_KEYCHAIN_DIR when set, else the user's data directory; resolved
    // on every call.
    static std::filesystem::path defaultDirectory();
    static KeychainFile atDefaultDirectory() { return KeychainFile(defaultDirectory()); }

    // A file longer or nested deeper than this reads as no keychain
    // (decodeError); the file holds two short items.
    static constexpr std::size_t maxFileBytes = 1 << 20;
    static constexpr std::size_t maxNesting = 16;

    explicit KeychainFile(std::filesystem::path directory);

    const std::filesystem::path& filePath() const { return file_; }

    // The item's bytes, or its status: itemNotFound, or the error met while
    // reading (decodeError for a file that is not a keychain).
    OSStatus copy(std::string_view account, std::string& data) const;

    // Adds the item or replaces its value in one atomic replacement of the
    // file. An unreadable file is kept aside as "keychain.json.corrupt-<time>"
    // (with "-2", "-3", ... when that name is taken) and a new one started.
    OSStatus set(std::string_view account, std::string_view data, KeychainAccessibility accessibility);

    // Removes the item; itemNotFound when there was none.
    OSStatus remove(std::string_view account);

private:
    std::filesystem::path directory_;
    std::filesystem::path file_;
    std::filesystem::path lock_;
};

}  // namespace kavri
