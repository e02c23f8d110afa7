#include "app/settings/settings_store.h"

#include "api/json_fields.h"
#include "core/kavri_defaults_key.h"

namespace kavri {

SettingsStore::SettingsStore(MainExecutor& main, KavriStore& store) : ObservableStore(main) {
    userAddedTier0Apps = decode(store.object(KavriDefaultsKey::userAddedTier0Apps));
}

std::vector<Tier0App> SettingsStore::decode(const std::optional<PlistValue>& stored) {
    if (!stored || !stored->is<Data>()) return {};
    try {
        const auto value = JsonFields::parse(stored->get<Data>()->bytes);
        if (!value.is_array()) return {};
        std::vector<Tier0App> apps;
        for (std::size_t i = 0; i < value.size(); ++i)
            apps.push_back(Tier0App::fromJson(value[i], "[" + std::to_string(i) + "]"));
        return apps;
    } catch (const std::exception&) {
        return {};
    }
}

}  // namespace kavri
