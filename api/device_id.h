#pragma once

#include <string>

#include "core/kavri_store.h"

namespace kavri {

// The installation's stable identifier, sent to the backend as "X-Device-Id"
// and handed to the tunnel. Its primary copy is the keychain item; the shared
// store's "device_id_ne" mirrors it for the extension. Made once, the first
// time anything asks; never cached in memory.
class DeviceID {
public:
    // The keychain's non-empty text; else a non-empty text under
    // "device_id_ne", copied into the keychain; else a new upper-case UUID,
    // written to the keychain and then to the store. Keychain failures are
    // absorbed (a refused write still returns the value, which the store then
    // keeps stable). Never empty; safe from any thread.
    static std::string current(KavriStore& store = KavriStore::shared());
};

}  // namespace kavri
