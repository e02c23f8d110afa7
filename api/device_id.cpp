#include "api/device_id.h"

#include <mutex>

#include "core/kavri_defaults_key.h"
#include "core/keychain.h"
#include "platform/http/http_session.h"
#include "platform/runtime/uuid.h"

namespace kavri {
namespace {

void writeToKeychain(const std::string& id) {
    try {
        Keychain::write(id, Keychain::Item::deviceID);
    } catch (const KeychainError&) {
        // The store's copy keeps the identifier stable.
    }
}

}  // namespace

std::string DeviceID::current(KavriStore& store) {
    // Two first reads at once would each make an identifier.
    static std::mutex making;
    std::lock_guard lock(making);

    // A copy that cannot travel as "X-Device-Id" (a line break, a NUL) counts
    // as none.
    auto usable = [](const std::optional<std::string>& id) {
        return id && !id->empty() && HttpRequest::isHeaderText(*id);
    };
    if (auto stored = Keychain::read(Keychain::Item::deviceID); usable(stored)) return *stored;
    if (auto mirrored = store.string(KavriDefaultsKey::deviceIDForNE); usable(mirrored)) {
        writeToKeychain(*mirrored);
        return *mirrored;
    }
    const std::string made = Uuid::make();
    writeToKeychain(made);
    store.set(KavriDefaultsKey::deviceIDForNE, made);
    return made;
}

}  // namespace kavri
