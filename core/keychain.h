#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "platform/keychain/keychain_file.h"

namespace kavri {

// A keychain operation that failed, with the keychain's status.
class KeychainError : public std::runtime_error {
public:
    enum class Kind { osStatus };
    explicit KeychainError(OSStatus status);
    Kind kind() const { return Kind::osStatus; }
    OSStatus status() const { return status_; }

private:
    OSStatus status_;
};

// The app's two secrets in the user's keychain: the subscription token and
// the stable device identifier.
class Keychain {
public:
    enum class Item { subToken, deviceID };

    // The account name of the item.
    static std::string rawValue(Item item);
    // Exactly the two account names.
    static std::optional<Item> itemFromRawValue(std::string_view raw);

    // The stored text; std::nullopt when there is none, on any keychain error
    // and when the stored bytes are not UTF-8.
    static std::optional<std::string> read(Item item);
    // Replaces the item's value. The new value is written before the old one
    // goes, so a failed write throws KeychainError and keeps the old value.
    static void write(std::string_view value, Item item);
    // Removes the item; the outcome (no item included) is ignored.
    static void deleteItem(Item item);
};

}  // namespace kavri
