#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/runtime/observable_store.h"
#include "platform/admin/administrator_shell.h"
#include "platform/sysext/system_extension_manager.h"

namespace kavri {

// The tunnel extension's installation: asks the system to activate it,
// follows the answers and publishes one state for the setup guide and the
// root view. Activation needs the app to run from the applications folder,
// so this store also moves the app there and starts the moved copy.
class SystemExtensionInstaller : public ObservableStore {
public:
    struct State {
        enum class Kind {
            idle,               // nothing asked yet
            notInApplications,  // the app runs elsewhere; nothing was requested
            installing,         // a request is under way, or the app is being moved
            needsApproval,      // the system waits for the user's approval
            needsReboot,        // active only after a restart
            installed,          // the extension is active
            failed,             // the text says why; shown unchanged
        };
        Kind kind = Kind::idle;
        std::string text{};  // failed only

        static State failed(std::string text) { return {Kind::failed, std::move(text)}; }
        bool operator==(const State&) const = default;
    };

    struct Deps {
        // The running app's bundle.
        std::filesystem::path bundle;
        // The applications folder, ending in "/".
        std::string applicationsRoot;
        SystemExtensionManager* manager = nullptr;
        AdministratorShell administrator{};  // braced: its constructor is explicit
        // Starts the app of a bundle as a new instance; throws when it cannot.
        std::function<void(const std::filesystem::path& bundle)> openApplication;
        // Ends the running app after the delay.
        std::function<void(std::chrono::milliseconds)> terminateAfter;
        // The tool that takes the quarantine mark off the moved copy; none
        // when empty.
        std::string xattr{};
    };

    static constexpr const char* extensionIdentifier = "com.kavri-app.mac.tunnel";
    static constexpr const char* moveFailedText = "Не удалось переместить в «Программы» — перетащите вручную";
    static constexpr const char* relaunchFailedText =
        "Не удалось запустить приложение из «Программы» — откройте его вручную";
    static constexpr std::chrono::milliseconds terminateDelay{400};

    // The user's own "~/Applications/" ($HOME, else the password entry's
    // home), or $KAVRI_APPLICATIONS_DIR (with a "/" added).
    static std::string applicationsRoot();
    // The running app's bundle, the root above, the shared manager, pkexec,
    // the bundle's xattr and the desktop's way to open an app;
    // `terminateAfter` is the caller's.
    static Deps systemDeps(std::function<void(std::chrono::milliseconds)> terminateAfter);

    SystemExtensionInstaller(MainExecutor& main, Deps deps);
    ~SystemExtensionInstaller() override;

    Published<State> state{*this, "state", State{}};

    void activate();
    void moveToApplications();

    const std::filesystem::path& bundle() const { return deps_.bundle; }

    // The system's answers to the latest request (main thread).
    SystemExtensionReplacementAction actionForReplacing(const std::string& existingVersion,
                                                        const std::string& newVersion);
    void requestNeedsUserApproval();
    void requestDidFinish(long result);
    void requestDidFail(const SystemExtensionError& error);

    // The command that replaces `destination` with a copy of `source`, every
    // path quoted as one literal word; nothing for a path it cannot quote
    // (not absolute, or holding a NUL byte).
    static std::optional<std::string> administratorCommand(const std::filesystem::path& source,
                                                           const std::filesystem::path& destination);

private:
    class Delegate;

    // Changes the state in a task of its own on the main thread.
    void setStateLater(State next);
    // Copies with the app's own rights into a folder it may write to
    // (made when missing); with administrator rights into any other, or when
    // the plain copy was refused.
    bool copy(const std::filesystem::path& source, const std::filesystem::path& destination);
    bool copyWithAdministratorRights(const std::filesystem::path& source, const std::filesystem::path& destination);
    void removeQuarantine(const std::filesystem::path& copy);

    Deps deps_;
    std::shared_ptr<Delegate> delegate_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace kavri
