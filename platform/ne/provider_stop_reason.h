#pragma once

namespace kavri {

// Why a tunnel stops, by the raw values the system uses. Values outside the
// list can arrive too and are kept as they are.
enum class ProviderStopReason : int {
    none = 0,
    userInitiated = 1,
    providerFailed = 2,
    noNetworkAvailable = 3,
    unrecoverableNetworkChange = 4,
    providerDisabled = 5,
    authenticationCanceled = 6,
    configurationFailed = 7,
    idleTimeout = 8,
    configurationDisabled = 9,
    configurationRemoved = 10,
    superceded = 11,
    userLogout = 12,
    userSwitch = 13,
    connectionFailed = 14,
    sleep = 15,
    appUpdate = 16,
};

}  // namespace kavri
