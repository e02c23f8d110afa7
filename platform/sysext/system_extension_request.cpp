#include "platform/sysext/system_extension_request.h"

#include <atomic>

namespace kavri {

std::shared_ptr<SystemExtensionRequest> SystemExtensionRequest::activationRequest(std::string identifier,
                                                                                  Queue queue) {
    static std::atomic<std::uint64_t> nextSerial{1};
    return std::shared_ptr<SystemExtensionRequest>(
        new SystemExtensionRequest(std::move(identifier), std::move(queue), nextSerial++));
}

}  // namespace kavri
