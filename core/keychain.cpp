#include "core/keychain.h"

#include "core/utf8.h"

namespace kavri {

KeychainError::KeychainError(OSStatus status)
    : std::runtime_error("keychain error " + std::to_string(status)), status_(status) {}

std::string Keychain::rawValue(Item item) {
    switch (item) {
        case Item::subToken:
            return "com.kavri-app.app.subToken";
        case Item::deviceID:
            return "com.kavri-app.app.deviceID";
    }
    return {};
}

std::optional<Keychain::Item> Keychain::itemFromRawValue(std::string_view raw) {
    for (Item item : {Item::subToken, Item::deviceID}) {
        if (raw == rawValue(item)) return item;
    }
    return std::nullopt;
}

std::optional<std::string> Keychain::read(Item item) {
    std::string bytes;
    if (KeychainFile::atDefaultDirectory().copy(rawValue(item), bytes) != KeychainStatus::success) {
        return std::nullopt;
    }
    if (!Utf8::isValid(bytes)) return std::nullopt;
    return bytes;
}

void Keychain::write(std::string_view value, Item item) {
    const OSStatus status = KeychainFile::atDefaultDirectory().set(
        rawValue(item), value, KeychainAccessibility::afterFirstUnlock);
    if (status != KeychainStatus::success) throw KeychainError(status);
}

void Keychain::deleteItem(Item item) { KeychainFile::atDefaultDirectory().remove(rawValue(item)); }

}  // namespace kavri
