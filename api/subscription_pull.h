#pragma once

#include <string_view>

#include "api/subscription_client.h"
#include "core/kavri_store.h"
#include "core/plist_value.h"

namespace kavri {

// What a successful subscription download leaves in the shared store, the
// same for the app and for the local tunnel tool: the engine configuration,
// the metadata, the poll interval, the time of the pull, and for the
// extension the bare token and the device identifier. The download itself
// already wrote the detection settings, the fallback hosts and the
// device-removed mark.
class SubscriptionPull {
public:
    // One write of every key; `token` is a bare token or a link.
    static void keep(KavriStore& store, const SubscriptionClient::FetchResult& result, std::string_view token,
                     Date now);
};

}  // namespace kavri
