#pragma once

#include <filesystem>
#include <memory>
#include <mutex>

#include "platform/sysext/system_extension_request.h"

namespace kavri {

// Takes activation requests for the tunnel extension. Here the extension is
// the program inside the app's bundle, which the tunnel control starts on
// demand: a request checks that the program is there and can be started and
// then finishes as completed, or fails with the not-found code. A request
// whose answer is still queued when a newer one arrives fails as superseded.
class SystemExtensionManager {
public:
    // The manager for the running app's bundle.
    static SystemExtensionManager& shared();
    explicit SystemExtensionManager(std::filesystem::path appBundle);

    void submitRequest(const std::shared_ptr<SystemExtensionRequest>& request);

private:
    std::filesystem::path bundle_;
    std::mutex mutex_;
    std::uint64_t latest_ = 0;
};

}  // namespace kavri
