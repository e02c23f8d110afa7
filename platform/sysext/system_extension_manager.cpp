#include "platform/sysext/system_extension_manager.h"

#include <sys/stat.h>
#include <unistd.h>

#include "platform/bundle/app_bundle.h"

namespace kavri {

namespace {

bool canStart(const std::filesystem::path& program) {
    struct stat st {};
    return ::stat(program.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(program.c_str(), X_OK) == 0;
}

}  // namespace

SystemExtensionManager& SystemExtensionManager::shared() {
    static SystemExtensionManager manager(AppBundle::mainBundlePath());
    return manager;
}

SystemExtensionManager::SystemExtensionManager(std::filesystem::path appBundle) : bundle_(std::move(appBundle)) {}

void SystemExtensionManager::submitRequest(const std::shared_ptr<SystemExtensionRequest>& request) {
    {
        std::lock_guard lock(mutex_);
        latest_ = request->serial();
    }
    const std::filesystem::path program = AppBundle::extensionProgram(bundle_);
    const bool found = canStart(program);
    request->queue()([this, request, found, program] {
        const auto delegate = request->delegate();
        if (!delegate) return;
        bool superseded = false;
        {
            std::lock_guard lock(mutex_);
            superseded = latest_ != request->serial();
        }
        if (superseded) {
            delegate->requestDidFail(*request, {SystemExtensionErrorCode::domain,
                                                SystemExtensionErrorCode::requestSuperseded, "{}",
                                                "The request was superseded by a newer one."});
        } else if (found) {
            delegate->requestDidFinish(*request, SystemExtensionResult::completed);
        } else {
            delegate->requestDidFail(*request,
                                     {SystemExtensionErrorCode::domain, SystemExtensionErrorCode::extensionNotFound,
                                      "{NSFilePath = \"" + program.string() + "\"}",
                                      "The extension was not found in the app bundle."});
        }
    });
}

}  // namespace kavri
