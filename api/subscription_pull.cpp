#include "api/subscription_pull.h"

#include "api/device_id.h"
#include "core/kavri_defaults_key.h"
#include "core/kavri_token.h"

namespace kavri {

void SubscriptionPull::keep(KavriStore& store, const SubscriptionClient::FetchResult& result, std::string_view token,
                            Date now) {
    const std::string device = DeviceID::current(store);
    KavriStore::Changes changes{
        {KavriDefaultsKey::subTokenForNE, PlistValue(KavriToken::bare(token))},
        {KavriDefaultsKey::deviceIDForNE, PlistValue(device)},
        {KavriDefaultsKey::cachedSingboxConfig, PlistValue(Data{result.singboxConfigData})},
        {KavriDefaultsKey::nePollIntervalSec, PlistValue(result.meta.pullIntervalSeconds)},
        {KavriDefaultsKey::lastSubscriptionPull, PlistValue(now)},
    };
    try {
        changes.emplace_back(KavriDefaultsKey::cachedSubscriptionMeta, PlistValue(Data{result.meta.encoded()}));
    } catch (const std::exception&) {
        // Left as it was.
    }
    store.setAll(changes);
}

}  // namespace kavri
