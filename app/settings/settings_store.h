#pragma once

#include <vector>

#include "api/tier0_app.h"
#include "app/runtime/observable_store.h"
#include "core/kavri_store.h"

namespace kavri {

// The user's own settings: the tier-0 apps added on this device, kept in the
// shared store beside the server's list. Main thread only.
class SettingsStore : public ObservableStore {
public:
    // Loads the list: the shared store's JSON array of apps, or an empty list
    // when the value is absent, no data, or any element does not decode.
    // Writes nothing back.
    explicit SettingsStore(MainExecutor& main, KavriStore& store = KavriStore::shared());

    Published<std::vector<Tier0App>> userAddedTier0Apps{*this, "userAddedTier0Apps"};  // in the stored order

    // The list a stored value holds: all of it or nothing.
    static std::vector<Tier0App> decode(const std::optional<PlistValue>& stored);
};

}  // namespace kavri
